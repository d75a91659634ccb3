#include "cli/backup_folder.h"

#include <optional>

#include "os/file.h"
#include "os/resolve.h"
#include "os/system.h"

namespace cli {

std::shared_ptr<const os::Folder> BackupFolder(const std::string& path, FolderUse use,
                                               std::string& problem) {
  const std::string refusal = use == FolderUse::Keep ? "cannot keep backups in this folder"
                                                     : "cannot restore from this folder";
  // Resolved once, as a place we write into: no folder on the way that
  // another user could change, and no link another user could have placed.
  // Everything below is then reached through the handles held here, so that
  // nothing renamed or linked meanwhile sends a backup elsewhere.
  os::PathRules rules;
  rules.forWriting = true;
  os::ResolvedParent parent = os::ResolveParent(path, rules, true);
  if (!parent.folder.IsOpen()) {
    problem = refusal + ": " + parent.refusal;
    return nullptr;
  }
  const auto trusted = [](uint32_t owner) {
    return owner == os::CurrentUser() || owner == os::kSuperUser;
  };
  os::EntryInfo entry = parent.folder.Look(parent.name);
  if (entry.kind == os::EntryInfo::Kind::Missing) {
    if (use == FolderUse::Restore) {
      problem = refusal + ": there is no such folder";
      return nullptr;
    }
    if (!parent.folder.MakeChild(parent.name)) {
      problem = refusal + ": it cannot be made";
      return nullptr;
    }
  } else if (entry.kind != os::EntryInfo::Kind::Folder) {
    problem = refusal + ": it is not a folder";
    return nullptr;
  }
  auto folder = std::make_shared<const os::Folder>(parent.folder.OpenChild(parent.name));
  std::optional<os::FileIdentity> identity = folder->Identity();
  if (!folder->IsOpen() || !identity) {
    problem = refusal + ": it is not a folder that can be opened";
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
