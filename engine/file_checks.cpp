#include "engine/file_checks.h"

#include "os/system.h"

namespace engine {

bool ControlledByOthers(const os::Folder& folder) {
  if (folder.WritableByOthers()) return true;
  const std::optional<os::FileIdentity> identity = folder.Identity();
  return !identity || (identity->owner != os::CurrentUser() && identity->owner != os::kSuperUser);
}

std::string WhyNotOpened(const os::Folder& folder, const std::string& name) {
  switch (folder.Look(name).kind) {
    case os::EntryInfo::Kind::Missing:
      return "it is gone: it was removed after it was scanned";
    case os::EntryInfo::Kind::Link:
      return "it was replaced by a symbolic link after it was scanned; left alone";
    case os::EntryInfo::Kind::Folder:
    case os::EntryInfo::Kind::Other:
      return "it is no longer a regular file; left alone";
    case os::EntryInfo::Kind::File:
    case os::EntryInfo::Kind::Unknown:
      break;
  }
  return "it cannot be opened";
}

std::string WhyNotThisFile(const os::Folder& folder, os::File& file,
                           const std::optional<os::FileIdentity>& expected) {
  std::optional<os::FileIdentity> identity = file.Identity();
  if (!identity) return "it cannot be read";
  if (expected && !identity->SameFile(*expected)) {
    return "it was replaced by another file after it was scanned; left alone";
  }
  if (identity->links != 1 && ControlledByOthers(folder)) {
    return "it has more than one name in a folder that another user controls; left alone";
  }
  if (file.LockExclusive() == os::File::Lock::HeldElsewhere) {
    return "another program has locked it; left alone";
  }
  return std::string();
}

}  // namespace engine
