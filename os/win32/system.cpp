#include "os/system.h"

#include <windows.h>

#include "os/image_checksum.h"
#include "os/win32/owner.h"
#include "os/win32/wide.h"

namespace os {

std::string SystemDirectory() {
  if (const win32::WideCalls* wide = win32::Wide()) {
    wchar_t buffer[MAX_PATH] = {};
    UINT length = wide->getSystemDirectory(buffer, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return std::string();
    return win32::Narrow(std::wstring_view(buffer, length));
  }
  char buffer[MAX_PATH] = {};
  UINT length = GetSystemDirectoryA(buffer, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return std::string();
  return std::string(buffer, length);
}

char PathSeparator() { return '\\'; }

uint32_t CurrentUser() { return win32::RunningUser(); }

std::string WhyNotOpened() {
  const DWORD error = GetLastError();
  switch (error) {
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
      return "permission denied";
    case ERROR_TOO_MANY_OPEN_FILES:
      return "out of file handles";
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
      return "removed during the scan";
    default:
      return "cannot be opened (error " + std::to_string(error) + ")";
  }
}

void SleepMilliseconds(unsigned milliseconds) { Sleep(milliseconds); }

size_t CharacterPrefix(const char* text, size_t length, size_t limit) {
  if (length <= limit) return length;
  if (win32::Wide() != nullptr) {
    // UTF-8: back from the limit over continuation bytes.
    size_t at = limit;
    while (at > 0 && (static_cast<unsigned char>(text[at]) & 0xC0) == 0x80) --at;
    return at;
  }
  // Walk whole characters from the start: in a double-byte code page only
  // that tells lead bytes from trail bytes.
  size_t at = 0;
  while (at < limit) {
    size_t step = IsDBCSLeadByte(static_cast<BYTE>(text[at])) && at + 1 < length ? 2 : 1;
    if (at + step > limit) break;
    at += step;
  }
  return at;
}

PlatformChecksum MapFileAndCheckSum(const std::string& libraryPath, const std::string& fileName) {
  PlatformChecksum result;
  HMODULE library = LoadLibraryA(libraryPath.c_str());
  if (library == nullptr) return result;
  using MapFileAndCheckSumFn = DWORD(WINAPI*)(PCSTR, PDWORD, PDWORD);
  using MapFileAndCheckSumWideFn = DWORD(WINAPI*)(PCWSTR, PDWORD, PDWORD);
  auto entry = reinterpret_cast<MapFileAndCheckSumFn>(
      reinterpret_cast<void*>(GetProcAddress(library, "MapFileAndCheckSumA")));
  // NT's names are wide.
  auto wideEntry = win32::Wide() == nullptr
                       ? nullptr
                       : reinterpret_cast<MapFileAndCheckSumWideFn>(reinterpret_cast<void*>(
                             GetProcAddress(library, "MapFileAndCheckSumW")));
  if (entry != nullptr || wideEntry != nullptr) {
    // Some implementations report success for a file that is no image without
    // writing the outputs: start them at 0.
    DWORD headerSum = 0;
    DWORD trueSum = 0;
    DWORD answer = wideEntry != nullptr
                       ? wideEntry(win32::WidePath(fileName).c_str(), &headerSum, &trueSum)
                       : entry(fileName.c_str(), &headerSum, &trueSum);
    if (answer == 0) {
      result.status = PlatformChecksum::Status::Done;
      result.headerSum = headerSum;
      result.trueSum = trueSum;
    }
  }
  FreeLibrary(library);
  return result;
}

}  // namespace os
