#include "os/file_ops.h"

#include <windows.h>

#include <optional>

#include "os/file.h"
#include "os/win32/wide.h"

namespace os {

std::optional<FileAttributes> ReadAttributes(const std::string& path) {
  const win32::WideCalls* wide = win32::Wide();
  DWORD bits = wide != nullptr ? wide->getFileAttributes(win32::WidePath(path).c_str())
                               : GetFileAttributesA(path.c_str());
  if (bits == INVALID_FILE_ATTRIBUTES) return std::nullopt;
  return FileAttributes{bits};
}

bool WriteAttributes(const std::string& path, FileAttributes attributes, WriteFaults* faults) {
  if (OnChange(faults) != WriteFaults::Verdict::Go) return false;
  const win32::WideCalls* wide = win32::Wide();
  return (wide != nullptr ? wide->setFileAttributes(win32::WidePath(path).c_str(), attributes.bits)
                          : SetFileAttributesA(path.c_str(), attributes.bits)) != 0;
}

bool IsReadOnly(FileAttributes attributes) {
  return (attributes.bits & FILE_ATTRIBUTE_READONLY) != 0;
}

FileAttributes WithoutReadOnly(FileAttributes attributes) {
  return FileAttributes{attributes.bits & ~static_cast<uint32_t>(FILE_ATTRIBUTE_READONLY)};
}

namespace {

// CopyFile by the platform's names; `failIfExists` as CopyFile takes it.
bool CopyByName(const std::string& from, const std::string& to, BOOL failIfExists) {
  const win32::WideCalls* wide = win32::Wide();
  return (wide != nullptr ? wide->copyFile(win32::WidePath(from).c_str(),
                                           win32::WidePath(to).c_str(), failIfExists)
                          : CopyFileA(from.c_str(), to.c_str(), failIfExists)) != 0;
}

}  // namespace

bool CopyNew(const std::string& from, const std::string& to, WriteFaults* faults) {
  switch (OnWrite(faults)) {
    case WriteFaults::Verdict::Go:
      // Fails when `to` exists; the system removes a copy it could not finish.
      return CopyByName(from, to, TRUE);
    case WriteFaults::Verdict::Half:
      // A copy cut off half-way: made whole, then cut, unless the name was
      // taken; what a stopped machine leaves behind.
      if (faults->stopped() && CopyByName(from, to, TRUE)) {
        File copy = File::Open(to, Access::ReadWrite, Share::None, Disposition::OpenExisting);
        if (std::optional<uint64_t> size = copy.IsOpen() ? copy.Size() : std::nullopt) {
          copy.SetEnd(*size / 2);
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
  if (OnChange(faults) != WriteFaults::Verdict::Go) return false;
  const win32::WideCalls* wide = win32::Wide();
  return (wide != nullptr ? wide->deleteFile(win32::WidePath(path).c_str())
                          : DeleteFileA(path.c_str())) != 0;
}

bool FlushFolderOf(const std::string& /*path*/, WriteFaults* faults) {
  return OnChange(faults) == WriteFaults::Verdict::Go;
}

std::string ShortPath(const std::string& path) {
  if (const win32::WideCalls* wide = win32::Wide()) {
    // NT names every file by its long name: the short one only stands in
    // where a path must fit MAX_PATH, which the wide calls need not.
    wchar_t buffer[MAX_PATH];
    std::wstring from = win32::Widen(path);
    DWORD length = wide->getShortPathName(from.c_str(), buffer, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return std::string();
    return win32::Narrow(std::wstring_view(buffer, length));
  }
  char buffer[MAX_PATH];
  DWORD length = GetShortPathNameA(path.c_str(), buffer, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return std::string();
  return std::string(buffer, length);
}

}  // namespace os
