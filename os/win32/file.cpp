#include "os/file.h"

#include <windows.h>

#include "os/file_ops.h"
#include "os/restart.h"
#include "os/win32/owner.h"
#include "os/win32/wide.h"

namespace os {
namespace {

HANDLE Native(intptr_t handle) { return reinterpret_cast<HANDLE>(handle); }

// Positions the file with the two-part SetFilePointer that Windows 9x knows.
bool Seek(HANDLE file, uint64_t offset) {
  if (offset > 0x7FFFFFFFFFFFFFFFull) return false;
  LONG high = static_cast<LONG>(offset >> 32);
  DWORD low = SetFilePointer(file, static_cast<LONG>(offset & 0xFFFFFFFFu), &high, FILE_BEGIN);
  return !(low == INVALID_SET_FILE_POINTER && GetLastError() != NO_ERROR);
}

}  // namespace

File File::Open(const std::string& path, Access access, Share share, Disposition disposition,
                WriteFaults* faults) {
  // Making a file takes room on the disk: a failing disk may refuse it, or
  // stop right after it.
  WriteFaults::Verdict made =
      disposition == Disposition::OpenExisting ? WriteFaults::Verdict::Go : OnWrite(faults);
  if (made == WriteFaults::Verdict::Fail) return File();
  DWORD desired = GENERIC_READ | (access == Access::ReadWrite ? GENERIC_WRITE : 0);
  DWORD shareMode = 0;
  if (share == Share::Read) shareMode = FILE_SHARE_READ;
  if (share == Share::ReadWrite) shareMode = FILE_SHARE_READ | FILE_SHARE_WRITE;
  DWORD creation = OPEN_EXISTING;
  if (disposition == Disposition::OpenAlways) creation = OPEN_ALWAYS;
  if (disposition == Disposition::CreateNew) creation = CREATE_NEW;
  if (disposition == Disposition::CreateAlways) creation = CREATE_ALWAYS;
  const win32::WideCalls* wide = win32::Wide();
  HANDLE h = wide != nullptr ? wide->createFile(win32::WidePath(path).c_str(), desired, shareMode,
                                                nullptr, creation, FILE_ATTRIBUTE_NORMAL, nullptr)
                             : CreateFileA(path.c_str(), desired, shareMode, nullptr, creation,
                                           FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return File();
  if (made != WriteFaults::Verdict::Go) {
    CloseHandle(h);
    return File();
  }
  return File(reinterpret_cast<intptr_t>(h), faults, path);
}

void File::Close() {
  if (handle_ != kNone) {
    CloseHandle(Native(handle_));
    handle_ = kNone;
  }
}

std::optional<uint32_t> File::ReadAt(uint64_t offset, void* buffer, uint32_t length) {
  if (!IsOpen() || !Seek(Native(handle_), offset)) return std::nullopt;
  DWORD got = 0;
  if (!ReadFile(Native(handle_), buffer, length, &got, nullptr)) return std::nullopt;
  return static_cast<uint32_t>(got);
}

std::optional<uint32_t> File::WriteAtNow(uint64_t offset, const void* buffer, uint32_t length) {
  if (!IsOpen() || !Seek(Native(handle_), offset)) return std::nullopt;
  DWORD put = 0;
  if (!WriteFile(Native(handle_), buffer, length, &put, nullptr)) return std::nullopt;
  return static_cast<uint32_t>(put);
}

bool File::SetEndNow(uint64_t offset) {
  return IsOpen() && Seek(Native(handle_), offset) && SetEndOfFile(Native(handle_));
}

bool File::FlushNow() { return FlushFileBuffers(Native(handle_)) != 0; }

std::optional<FileIdentity> File::Identity() const {
  BY_HANDLE_FILE_INFORMATION info{};
  if (!IsOpen() || !GetFileInformationByHandle(Native(handle_), &info)) return std::nullopt;
  FileIdentity identity;
  // Windows 9x makes up file indexes anew when a volume is mounted again: a
  // file is known there by its name alone. Nor does it keep owners.
  if (IsNtPlatform()) {
    identity.device = info.dwVolumeSerialNumber;
    identity.inode = (static_cast<uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
    identity.owner = win32::OwnerOfOpenFile(Native(handle_));
  }
  identity.size = (static_cast<uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
  identity.modified =
      static_cast<int64_t>((static_cast<uint64_t>(info.ftLastWriteTime.dwHighDateTime) << 32) |
                           info.ftLastWriteTime.dwLowDateTime);
  identity.links = info.nNumberOfLinks;
  identity.mode = info.dwFileAttributes;
  return identity;
}

std::optional<FileAttributes> File::Attributes() const {
  if (path_.empty()) return std::nullopt;
  return ReadAttributes(path_);
}

bool File::SetAttributesNow(FileAttributes attributes) {
  // Windows 9x sets attributes by name only; the file is held open without
  // sharing its writing, so the name still leads to it.
  return !path_.empty() && WriteAttributes(path_, attributes);
}

FileAttributes WithoutNewPrivileges(FileAttributes restored, const FileIdentity& /*journaled*/) {
  return restored;
}

FileAttributes AfterUndo(FileAttributes now, FileAttributes journaled) {
  return FileAttributes{now.bits | (journaled.bits & FILE_ATTRIBUTE_READONLY)};
}

// The share modes of the open are Win32's locks: a file another program holds
// is not opened at all.
File::Lock File::LockExclusive() { return IsOpen() ? Lock::Locked : Lock::Failed; }

std::optional<uint64_t> File::Size() {
  if (!IsOpen()) return std::nullopt;
  DWORD high = 0;
  DWORD low = GetFileSize(Native(handle_), &high);
  if (low == INVALID_FILE_SIZE && GetLastError() != NO_ERROR) return std::nullopt;
  return (static_cast<uint64_t>(high) << 32) | low;
}

// Holes are not asked for here: every byte is read.
uint64_t File::DataFrom(uint64_t offset) { return offset; }

std::string File::PathToItself() const { return std::string(); }

}  // namespace os
