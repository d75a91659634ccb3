#include "os/restart.h"

#include <windows.h>

#include "os/win32/wide.h"

namespace os {

DriveType DriveTypeOf(const std::string& root) {
  UINT type = GetDriveTypeA(root.c_str());
  if (type > static_cast<UINT>(DriveType::RamDisk)) return DriveType::Unknown;
  return static_cast<DriveType>(type);
}

std::string WindowsDirectory() {
  if (const win32::WideCalls* wide = win32::Wide()) {
    wchar_t buffer[MAX_PATH] = {};
    UINT length = wide->getWindowsDirectory(buffer, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return std::string();
    return win32::Narrow(std::wstring_view(buffer, length));
  }
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
  if (const win32::WideCalls* wide = win32::Wide()) {
    // The delayed move keeps wide names, of any length: the system reads
    // them back at its start as the "\\?\" paths they are given.
    const std::wstring from = win32::WidePath(source);
    const std::wstring to = destination ? win32::WidePath(*destination) : std::wstring();
    return wide->moveFileEx(from.c_str(), destination ? to.c_str() : nullptr,
                            MOVEFILE_REPLACE_EXISTING | MOVEFILE_DELAY_UNTIL_REBOOT) != 0;
  }
  const char* to = destination ? destination->c_str() : nullptr;
  return MoveFileExA(source.c_str(), to, MOVEFILE_REPLACE_EXISTING | MOVEFILE_DELAY_UNTIL_REBOOT) !=
         0;
}

}  // namespace os
