#include "cli/backup_folder.h"

#include <optional>

#include "os/file.h"
#include "os/system.h"

namespace cli {

std::shared_ptr<const os::Folder> BackupFolder(const std::string& path, FolderUse use,
                                               std::string& problem) {
  const std::string refusal = use == FolderUse::Keep ? "cannot keep backups in this folder"
                                                     : "cannot restore from this folder";
  std::string name;
  const os::Folder parent = os::Folder::OpenParent(path, false, name);
  if (!parent.IsOpen()) {
    problem = refusal + ": its parent cannot be opened";
    return nullptr;
  }
  const auto trusted = [](uint32_t owner) {
    return owner == os::CurrentUser() || owner == os::kSuperUser;
  };
  os::EntryInfo entry = parent.Look(name);
  if (entry.kind == os::EntryInfo::Kind::Missing) {
    if (use == FolderUse::Restore) {
      problem = refusal + ": there is no such folder";
      return nullptr;
    }
    if (!parent.MakeChild(name)) {
      problem = refusal + ": it cannot be made";
      return nullptr;
    }
  } else if (entry.kind == os::EntryInfo::Kind::Link && !trusted(entry.identity.owner)) {
    problem = refusal + ": it is a symbolic link that belongs to another user";
    return nullptr;
  }
  auto folder = std::make_shared<const os::Folder>(os::Folder::Open(path));
  std::optional<os::FileIdentity> identity = folder->Identity();
  if (!folder->IsOpen() || !identity) {
    problem = refusal;
    return nullptr;
  }
  if (!trusted(identity->owner)) {
    problem = refusal + ": it belongs to another user";
    return nullptr;
  }
  if (folder->WritableByOthers()) {
    problem = refusal + ": others can write to it";
    return nullptr;
  }
  return folder;
}

}  // namespace cli
