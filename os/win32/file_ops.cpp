#include "os/file_ops.h"

#include <windows.h>

#include <optional>

#include "os/file.h"

namespace os {

std::optional<FileAttributes> ReadAttributes(const std::string& path) {
  DWORD bits = GetFileAttributesA(path.c_str());
  if (bits == INVALID_FILE_ATTRIBUTES) return std::nullopt;
  return FileAttributes{bits};
}

bool WriteAttributes(const std::string& path, FileAttributes attributes, WriteFaults* faults) {
  if (OnChange(faults) != WriteFaults::Verdict::Go) return false;
  return SetFileAttributesA(path.c_str(), attributes.bits) != 0;
}

bool IsReadOnly(FileAttributes attributes) {
  return (attributes.bits & FILE_ATTRIBUTE_READONLY) != 0;
}

FileAttributes WithoutReadOnly(FileAttributes attributes) {
  return FileAttributes{attributes.bits & ~static_cast<uint32_t>(FILE_ATTRIBUTE_READONLY)};
}

bool CopyNew(const std::string& from, const std::string& to, WriteFaults* faults) {
  switch (OnWrite(faults)) {
    case WriteFaults::Verdict::Go:
      // Fails when `to` exists; the system removes a copy it could not finish.
      return CopyFileA(from.c_str(), to.c_str(), TRUE) != 0;
    case WriteFaults::Verdict::Half:
      // A copy cut off half-way: made whole, then cut, unless the name was
      // taken; what a stopped machine leaves behind.
      if (faults->stopped() && CopyFileA(from.c_str(), to.c_str(), TRUE) != 0) {
        HANDLE copy = CreateFileA(to.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
        if (copy != INVALID_HANDLE_VALUE) {
          DWORD high = 0;
          DWORD low = GetFileSize(copy, &high);
          SetFilePointer(copy, static_cast<LONG>(low / 2), nullptr, FILE_BEGIN);
          SetEndOfFile(copy);
          CloseHandle(copy);
        }
      }
      return false;
    case WriteFaults::Verdict::Fail:
      return false;
  }
  return false;
}

bool AppendToFile(const std::string& path, const std::string& bytes, WriteFaults* faults) {
  File file = File::Open(path, Access::ReadWrite, Share::Read, Disposition::OpenAlways, faults);
  std::optional<uint64_t> end = file.IsOpen() ? file.Size() : std::nullopt;
  return end &&
         file.WriteAt(*end, bytes.data(), static_cast<uint32_t>(bytes.size())) == bytes.size() &&
         file.Flush();
}

bool RemoveFile(const std::string& path, WriteFaults* faults) {
  return OnChange(faults) == WriteFaults::Verdict::Go && DeleteFileA(path.c_str()) != 0;
}

bool FlushFolderOf(const std::string& /*path*/, WriteFaults* faults) {
  return OnChange(faults) == WriteFaults::Verdict::Go;
}

std::string ShortPath(const std::string& path) {
  char buffer[MAX_PATH];
  DWORD length = GetShortPathNameA(path.c_str(), buffer, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return std::string();
  return std::string(buffer, length);
}

}  // namespace os
