#include "os/process.h"

#include <windows.h>

namespace os {

std::string ModulePath() {
  char buffer[MAX_PATH];
  DWORD length = GetModuleFileNameA(nullptr, buffer, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return std::string();
  return std::string(buffer, length);
}

std::string TempDirectory() {
  char buffer[MAX_PATH];
  DWORD length = GetTempPathA(MAX_PATH, buffer);
  if (length == 0 || length >= MAX_PATH) return std::string();
  return std::string(buffer, length);
}

bool CopyReplacing(const std::string& from, const std::string& to) {
  return CopyFileA(from.c_str(), to.c_str(), FALSE) != 0;
}

std::optional<std::string> NameOnDisk(const std::string& path) {
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
