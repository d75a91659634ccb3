#include "os/process.h"

#include <windows.h>

#include "os/win32/wide.h"

namespace os {

std::string ModulePath() {
  if (const win32::WideCalls* wide = win32::Wide()) {
    wchar_t buffer[MAX_PATH];
    DWORD length = wide->getModuleFileName(nullptr, buffer, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return std::string();
    return win32::Narrow(std::wstring_view(buffer, length));
  }
  char buffer[MAX_PATH];
  DWORD length = GetModuleFileNameA(nullptr, buffer, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return std::string();
  return std::string(buffer, length);
}

std::string TempDirectory() {
  if (const win32::WideCalls* wide = win32::Wide()) {
    wchar_t buffer[MAX_PATH];
    DWORD length = wide->getTempPath(MAX_PATH, buffer);
    if (length == 0 || length >= MAX_PATH) return std::string();
    return win32::Narrow(std::wstring_view(buffer, length));
  }
  char buffer[MAX_PATH];
  DWORD length = GetTempPathA(MAX_PATH, buffer);
  if (length == 0 || length >= MAX_PATH) return std::string();
  return std::string(buffer, length);
}

bool CopyReplacing(const std::string& from, const std::string& to) {
  if (const win32::WideCalls* wide = win32::Wide()) {
    return wide->copyFile(win32::WidePath(from).c_str(), win32::WidePath(to).c_str(), FALSE) != 0;
  }
  return CopyFileA(from.c_str(), to.c_str(), FALSE) != 0;
}

std::optional<std::string> NameOnDisk(const std::string& path) {
  if (const win32::WideCalls* wide = win32::Wide()) {
    WIN32_FIND_DATAW data;
    HANDLE find = wide->findFirstFile(win32::WidePath(path).c_str(), &data);
    if (find == INVALID_HANDLE_VALUE) return std::nullopt;
    FindClose(find);
    size_t slash = path.find_last_of('\\');
    std::string folder = slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
    return folder + win32::Narrow(data.cFileName);
  }
  WIN32_FIND_DATAA data;
  HANDLE find = FindFirstFileA(path.c_str(), &data);
  if (find == INVALID_HANDLE_VALUE) return std::nullopt;
  FindClose(find);
  size_t slash = path.find_last_of('\\');
  std::string folder = slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
  return folder + data.cFileName;
}

bool RequestRestart() { return ExitWindowsEx(EWX_REBOOT, 0) != 0; }

}  // namespace os
