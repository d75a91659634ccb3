#include "os/restart.h"

#include <windows.h>

namespace os {

DriveType DriveTypeOf(const std::string& root) {
  UINT type = GetDriveTypeA(root.c_str());
  if (type > static_cast<UINT>(DriveType::RamDisk)) return DriveType::Unknown;
  return static_cast<DriveType>(type);
}

std::string WindowsDirectory() {
  char buffer[MAX_PATH] = {};
  UINT length = GetWindowsDirectoryA(buffer, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return std::string();
  return std::string(buffer, length);
}

bool IsNtPlatform() {
  // The size the oldest systems know; GetVersionExA's own answer is not
  // looked at, so a refusal leaves dwPlatformId 0 and answers 9x.
  static_assert(sizeof(OSVERSIONINFOA) == 148);
  OSVERSIONINFOA info = {};
  info.dwOSVersionInfoSize = sizeof(info);
  GetVersionExA(&info);
  return info.dwPlatformId == VER_PLATFORM_WIN32_NT;
}

bool MoveAtRestart(const std::string& source, const std::optional<std::string>& destination) {
  const char* to = destination ? destination->c_str() : nullptr;
  return MoveFileExA(source.c_str(), to, MOVEFILE_REPLACE_EXISTING | MOVEFILE_DELAY_UNTIL_REBOOT) !=
         0;
}

}  // namespace os
