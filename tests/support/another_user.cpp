#include "tests/support/another_user.h"

#ifdef _WIN32
#include <windows.h>

#include <string>
#else
#include <unistd.h>
#endif

namespace test_support {

#ifdef _WIN32

namespace {

// The host's path of a Windows path, from Wine's own export; empty on
// Windows itself.
std::string UnixPathOf(const std::string& path) {
  using UnixFileNameFn = char*(CDECL*)(const wchar_t*);
  auto unixFileName = reinterpret_cast<UnixFileNameFn>(reinterpret_cast<void*>(
      GetProcAddress(GetModuleHandleA("kernel32.dll"), "wine_get_unix_file_name")));
  if (unixFileName == nullptr) return std::string();
  std::wstring wide(path.size() + 1, L'\0');
  const int length =
      MultiByteToWideChar(CP_ACP, 0, path.c_str(), -1, wide.data(), static_cast<int>(wide.size()));
  if (length <= 0) return std::string();
  char* unixPath = unixFileName(wide.c_str());
  if (unixPath == nullptr) return std::string();
  std::string result(unixPath);
  HeapFree(GetProcessHeap(), 0, unixPath);
  return result;
}

}  // namespace

bool GiveToAnotherUser(const std::string& path) {
  const std::string unixPath = UnixPathOf(path);
  if (unixPath.empty() || unixPath.find('\'') != std::string::npos) return false;
  // Wine starts a host program named by its \\?\unix\ path, but its process
  // handle cannot be waited on: the shell leaves a mark once chown is done.
  const std::string mark = path + ".given";
  std::string command =
      "\\\\?\\unix\\bin\\sh -c \"chown 65534 '" + unixPath + "' && : > '" + unixPath + ".given'\"";
  STARTUPINFOA startup{};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION process{};
  if (!CreateProcessA("\\\\?\\unix\\bin\\sh", command.data(), nullptr, nullptr, FALSE, 0, nullptr,
                      nullptr, &startup, &process)) {
    return false;
  }
  if (process.hProcess != nullptr) CloseHandle(process.hProcess);
  if (process.hThread != nullptr) CloseHandle(process.hThread);
  for (int waited = 0; waited < 200; ++waited) {
    if (GetFileAttributesA(mark.c_str()) != INVALID_FILE_ATTRIBUTES) {
      DeleteFileA(mark.c_str());
      return true;
    }
    Sleep(50);
  }
  return false;
}

#else

bool GiveToAnotherUser(const std::string& path) {
  return ::geteuid() == 0 && ::chown(path.c_str(), 65534, static_cast<gid_t>(-1)) == 0;
}

#endif

}  // namespace test_support
