#include "os/restart.h"

namespace os {

// POSIX has no drive letters, no Windows directory and no service that moves
// files at the next start: every request for one is refused.

DriveType DriveTypeOf(const std::string&) { return DriveType::Unknown; }

std::string WindowsDirectory() { return std::string(); }

bool IsNtPlatform() { return false; }

bool MoveAtRestart(const std::string&, const std::optional<std::string>&) { return false; }

}  // namespace os
