#include "os/win32/wide.h"

namespace os::win32 {
namespace {

template <typename Call>
void Find(HMODULE kernel, const char* name, Call& call) {
  call = reinterpret_cast<Call>(reinterpret_cast<void*>(GetProcAddress(kernel, name)));
}

WideCalls LookUp() {
  WideCalls calls;
  OSVERSIONINFOA version = {};
  version.dwOSVersionInfoSize = sizeof version;
  GetVersionExA(&version);
  if (version.dwPlatformId != VER_PLATFORM_WIN32_NT) return calls;
  HMODULE kernel = GetModuleHandleA("KERNEL32.DLL");
  if (kernel == nullptr) return calls;
  Find(kernel, "CreateFileW", calls.createFile);
  Find(kernel, "GetFileAttributesW", calls.getFileAttributes);
  Find(kernel, "SetFileAttributesW", calls.setFileAttributes);
  Find(kernel, "FindFirstFileW", calls.findFirstFile);
  Find(kernel, "FindNextFileW", calls.findNextFile);
  Find(kernel, "DeleteFileW", calls.deleteFile);
  Find(kernel, "MoveFileExW", calls.moveFileEx);
  Find(kernel, "CopyFileW", calls.copyFile);
  Find(kernel, "CreateDirectoryW", calls.createDirectory);
  Find(kernel, "SetCurrentDirectoryW", calls.setCurrentDirectory);
  Find(kernel, "GetCurrentDirectoryW", calls.getCurrentDirectory);
  Find(kernel, "GetShortPathNameW", calls.getShortPathName);
  Find(kernel, "GetFullPathNameW", calls.getFullPathName);
  Find(kernel, "GetModuleFileNameW", calls.getModuleFileName);
  Find(kernel, "GetTempPathW", calls.getTempPath);
  Find(kernel, "GetSystemDirectoryW", calls.getSystemDirectory);
  Find(kernel, "GetWindowsDirectoryW", calls.getWindowsDirectory);
  Find(kernel, "GetCommandLineW", calls.getCommandLine);
  return calls;
}

bool Complete(const WideCalls& c) {
  return c.createFile && c.getFileAttributes && c.setFileAttributes && c.findFirstFile &&
         c.findNextFile && c.deleteFile && c.moveFileEx && c.copyFile && c.createDirectory &&
         c.setCurrentDirectory && c.getCurrentDirectory && c.getShortPathName &&
         c.getFullPathName && c.getModuleFileName && c.getTempPath && c.getSystemDirectory &&
         c.getWindowsDirectory && c.getCommandLine;
}

}  // namespace

const WideCalls* Wide() {
  // Set once, before any thread could ask, and only read after: the
  // program's threads start after the window's first file call.
  static const WideCalls calls = LookUp();
  static const bool complete = Complete(calls);
  return complete ? &calls : nullptr;
}

std::wstring Widen(std::string_view utf8) {
  if (utf8.empty()) return std::wstring();
  int length =
      MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
  if (length <= 0) return std::wstring();
  std::wstring wide(static_cast<size_t>(length), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), wide.data(), length);
  return wide;
}

std::string Narrow(std::wstring_view wide) {
  if (wide.empty()) return std::string();
  int length = WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), nullptr,
                                   0, nullptr, nullptr);
  if (length <= 0) return std::string();
  std::string utf8(static_cast<size_t>(length), '\0');
  WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), utf8.data(), length,
                      nullptr, nullptr);
  return utf8;
}

std::wstring WidePath(const std::string& path) {
  std::wstring wide = Widen(path);
  // "\\?\" turns off the system's rewriting of the path, "/" as a separator
  // among it.
  const bool drive = wide.size() >= 3 && wide[1] == L':' && (wide[2] == L'\\' || wide[2] == L'/');
  const bool unc = wide.size() >= 3 && (wide[0] == L'\\' || wide[0] == L'/') &&
                   (wide[1] == L'\\' || wide[1] == L'/') && wide[2] != L'?' && wide[2] != L'.';
  if (!drive && !unc) return wide;
  for (wchar_t& c : wide) {
    if (c == L'/') c = L'\\';
  }
  // A path made of "." or ".." parts is left to the system's own reading.
  if (wide.find(L"\\.\\") != std::wstring::npos || wide.find(L"\\..\\") != std::wstring::npos ||
      wide.ends_with(L"\\.") || wide.ends_with(L"\\..")) {
    return wide;
  }
  return drive ? L"\\\\?\\" + wide : L"\\\\?\\UNC\\" + wide.substr(2);
}

std::string FromAnsi(std::string_view ansi) {
  if (Wide() == nullptr || ansi.empty()) return std::string(ansi);
  int length =
      MultiByteToWideChar(CP_ACP, 0, ansi.data(), static_cast<int>(ansi.size()), nullptr, 0);
  if (length <= 0) return std::string();
  std::wstring wide(static_cast<size_t>(length), L'\0');
  MultiByteToWideChar(CP_ACP, 0, ansi.data(), static_cast<int>(ansi.size()), wide.data(), length);
  return Narrow(wide);
}

}  // namespace os::win32
