// What replacing files at the next restart needs of the system.
#pragma once

#include <optional>
#include <string>

namespace os {

// GetDriveTypeA's answers; POSIX knows no drives and answers Unknown.
enum class DriveType : int {
  Unknown = 0,
  NoRootDir = 1,
  Removable = 2,
  Fixed = 3,
  Remote = 4,
  CdRom = 5,
  RamDisk = 6,
};
DriveType DriveTypeOf(const std::string& root);

// The Windows directory; empty on POSIX.
std::string WindowsDirectory();

// GetVersionExA reports the NT platform (dwPlatformId 2). False on POSIX.
bool IsNtPlatform();

// MoveFileExA(source, destination or none, MOVEFILE_REPLACE_EXISTING |
// MOVEFILE_DELAY_UNTIL_REBOOT): with no destination the source is deleted at
// the restart. False on POSIX, which has no such service.
bool MoveAtRestart(const std::string& source, const std::optional<std::string>& destination);

}  // namespace os
