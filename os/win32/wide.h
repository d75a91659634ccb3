// Names on Windows. NT keeps every name in UTF-16, and only its wide calls
// reach every name it holds (a name outside the ANSI code page, a path past
// MAX_PATH by its "\\?\" form); 9x keeps names in the ANSI code page and only
// stubs the wide calls. One program runs on both, so the choice is made at
// run time by the system's platform: on NT a std::string name is UTF-8 and
// goes to the wide calls; on 9x it is ANSI and goes to the ANSI calls. The
// wide calls are looked up in KERNEL32 rather than imported, so that the
// program's import list stays within what Windows 98 exports.
#pragma once

#include <windows.h>

#include <string>
#include <string_view>

namespace os::win32 {

// The wide calls of KERNEL32 that the file layer uses; each is null where
// the system does not export it.
struct WideCalls {
  decltype(&::CreateFileW) createFile = nullptr;
  decltype(&::GetFileAttributesW) getFileAttributes = nullptr;
  decltype(&::SetFileAttributesW) setFileAttributes = nullptr;
  decltype(&::FindFirstFileW) findFirstFile = nullptr;
  decltype(&::FindNextFileW) findNextFile = nullptr;
  decltype(&::DeleteFileW) deleteFile = nullptr;
  decltype(&::MoveFileExW) moveFileEx = nullptr;
  decltype(&::CopyFileW) copyFile = nullptr;
  decltype(&::CreateDirectoryW) createDirectory = nullptr;
  decltype(&::SetCurrentDirectoryW) setCurrentDirectory = nullptr;
  decltype(&::GetCurrentDirectoryW) getCurrentDirectory = nullptr;
  decltype(&::GetShortPathNameW) getShortPathName = nullptr;
  decltype(&::GetFullPathNameW) getFullPathName = nullptr;
  decltype(&::GetModuleFileNameW) getModuleFileName = nullptr;
  decltype(&::GetTempPathW) getTempPath = nullptr;
  decltype(&::GetSystemDirectoryW) getSystemDirectory = nullptr;
  decltype(&::GetWindowsDirectoryW) getWindowsDirectory = nullptr;
  decltype(&::GetCommandLineW) getCommandLine = nullptr;
};

// The wide calls on NT, where every one of them is found; nullptr on 9x (or
// on a system that lacks one), where names stay ANSI. Looked up once, and
// never changed after.
const WideCalls* Wide();

// UTF-8 to UTF-16 and back; invalid UTF-8 becomes U+FFFD.
std::wstring Widen(std::string_view utf8);
std::string Narrow(std::wstring_view wide);

// `path` (UTF-8) for the wide calls: a full path ("C:\..." or "\\server\...")
// in its "\\?\" form, which no length limit and no rewriting of trailing
// dots or blanks applies to; a relative one as it is.
std::wstring WidePath(const std::string& path);

// The ANSI code page's text as the program's names are on this system:
// UTF-8 on NT, the same bytes on 9x. For the ANSI calls that only the system
// answers (a command line read with GetCommandLineA, say).
std::string FromAnsi(std::string_view ansi);

}  // namespace os::win32
