#include "os/file_ops.h"

#include <windows.h>

namespace os {

std::optional<FileAttributes> ReadAttributes(const std::string& path) {
  DWORD bits = GetFileAttributesA(path.c_str());
  if (bits == INVALID_FILE_ATTRIBUTES) return std::nullopt;
  return FileAttributes{bits};
}

bool WriteAttributes(const std::string& path, FileAttributes attributes) {
  return SetFileAttributesA(path.c_str(), attributes.bits) != 0;
}

bool IsReadOnly(FileAttributes attributes) {
  return (attributes.bits & FILE_ATTRIBUTE_READONLY) != 0;
}

FileAttributes WithoutReadOnly(FileAttributes attributes) {
  return FileAttributes{attributes.bits & ~static_cast<uint32_t>(FILE_ATTRIBUTE_READONLY)};
}

bool CopyNew(const std::string& from, const std::string& to) {
  // Fails when `to` exists; the system removes a copy it could not finish.
  return CopyFileA(from.c_str(), to.c_str(), TRUE) != 0;
}

bool RemoveFile(const std::string& path) { return DeleteFileA(path.c_str()) != 0; }

std::string ShortPath(const std::string& path) {
  char buffer[MAX_PATH];
  DWORD length = GetShortPathNameA(path.c_str(), buffer, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return std::string();
  return std::string(buffer, length);
}

}  // namespace os
