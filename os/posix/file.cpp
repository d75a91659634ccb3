#include "os/file.h"

#include "os/posix/open_regular.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <limits>
#include <string>

namespace os {
namespace {

int Descriptor(intptr_t handle) { return static_cast<int>(handle); }

bool FitsOffset(uint64_t offset, uint32_t length) {
  return offset + length <= static_cast<uint64_t>(std::numeric_limits<off_t>::max());
}

}  // namespace

int OpenRegularAt(int folder, const char* name, int flags, unsigned mode, FileIdentity* opened) {
  // Never waits: a pipe or a device at the name would block the open (a pipe
  // until a writer comes). O_NONBLOCK then stays: it changes nothing for a
  // regular file's reads and writes, and taking it away would cost two
  // system calls a file.
  int fd;
  do {
    fd = ::openat(folder, name, flags | O_NONBLOCK | O_CLOEXEC | O_NOCTTY,
                  static_cast<mode_t>(mode));
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return -1;
  struct stat info {};
  if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    ::close(fd);
    errno = EINVAL;
    return -1;
  }
  if (opened != nullptr) *opened = IdentityOf(info);
  return fd;
}

File File::Open(const std::string& path, Access access, Share /*share*/, Disposition disposition,
                WriteFaults* faults) {
  // Making a file takes room on the disk: a failing disk may refuse it, or
  // stop right after it.
  WriteFaults::Verdict made =
      disposition == Disposition::OpenExisting ? WriteFaults::Verdict::Go : OnWrite(faults);
  if (made == WriteFaults::Verdict::Fail) return File();
  int flags = access == Access::ReadWrite ? O_RDWR : O_RDONLY;
  switch (disposition) {
    case Disposition::OpenExisting:
      break;
    case Disposition::OpenAlways:
      flags |= O_CREAT;
      break;
    case Disposition::CreateNew:
      flags |= O_CREAT | O_EXCL;
      break;
    case Disposition::CreateAlways:
      flags |= O_CREAT | O_TRUNC;
      break;
  }
  // Only regular files are files here: a directory, device or pipe is refused
  // the way Win32 refuses to open them as files.
  const int fd = OpenRegularAt(AT_FDCWD, path.c_str(), flags, 0666);
  if (fd < 0) return File();
  if (made != WriteFaults::Verdict::Go) {
    ::close(fd);
    return File();
  }
  return File(fd, faults);
}

void File::Close() {
  if (handle_ != kNone) {
    ::close(Descriptor(handle_));
    handle_ = kNone;
  }
}

std::optional<uint32_t> File::ReadAt(uint64_t offset, void* buffer, uint32_t length) {
  if (!IsOpen() || !FitsOffset(offset, length)) return std::nullopt;
  auto* bytes = static_cast<unsigned char*>(buffer);
  uint32_t done = 0;
  while (done < length) {
    ssize_t got = ::pread(Descriptor(handle_), bytes + done, length - done,
                          static_cast<off_t>(offset + done));
    if (got < 0) {
      if (errno == EINTR) continue;
      return std::nullopt;
    }
    if (got == 0) break;  // end of file
    done += static_cast<uint32_t>(got);
  }
  return done;
}

std::optional<uint32_t> File::WriteAtNow(uint64_t offset, const void* buffer, uint32_t length) {
  if (!IsOpen() || !FitsOffset(offset, length)) return std::nullopt;
  const auto* bytes = static_cast<const unsigned char*>(buffer);
  uint32_t done = 0;
  while (done < length) {
    ssize_t put = ::pwrite(Descriptor(handle_), bytes + done, length - done,
                           static_cast<off_t>(offset + done));
    if (put < 0) {
      if (errno == EINTR) continue;
      return std::nullopt;
    }
    if (put == 0) break;
    done += static_cast<uint32_t>(put);
  }
  return done;
}

bool File::SetEndNow(uint64_t offset) {
  if (!IsOpen() || !FitsOffset(offset, 0)) return false;
  return ::ftruncate(Descriptor(handle_), static_cast<off_t>(offset)) == 0;
}

bool File::FlushNow() {
  int result;
  do {
    result = ::fsync(Descriptor(handle_));
  } while (result != 0 && errno == EINTR);
  return result == 0;
}

FileIdentity IdentityOf(const struct stat& info) {
  FileIdentity identity;
  identity.device = static_cast<uint64_t>(info.st_dev);
  identity.inode = static_cast<uint64_t>(info.st_ino);
  identity.size = static_cast<uint64_t>(info.st_size);
  identity.modified = static_cast<int64_t>(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec;
  identity.owner = static_cast<uint32_t>(info.st_uid);
  identity.links = static_cast<uint32_t>(info.st_nlink);
  identity.mode = static_cast<uint32_t>(info.st_mode);
  return identity;
}

std::optional<FileIdentity> File::Identity() const {
  struct stat info {};
  if (!IsOpen() || ::fstat(Descriptor(handle_), &info) != 0) return std::nullopt;
  return IdentityOf(info);
}

std::optional<FileAttributes> File::Attributes() const {
  std::optional<FileIdentity> identity = Identity();
  if (!identity) return std::nullopt;
  return FileAttributes{identity->mode & 07777};
}

bool File::SetAttributesNow(FileAttributes attributes) {
  return ::fchmod(Descriptor(handle_), static_cast<mode_t>(attributes.bits & 07777)) == 0;
}

FileAttributes WithoutNewPrivileges(FileAttributes restored, const FileIdentity& journaled) {
  return FileAttributes{restored.bits & (0777u | (journaled.mode & 07000u))};
}

FileAttributes AfterUndo(FileAttributes now, FileAttributes journaled) {
  return FileAttributes{now.bits & 07777u & ~(0222u & ~journaled.bits)};
}

File::Lock File::LockExclusive() {
  if (!IsOpen()) return Lock::Failed;
  const int fd = Descriptor(handle_);
  // flock and POSIX record locks (lockf, fcntl) do not see each other: both
  // are taken, so that a program holding either is seen.
  int result;
  do {
    result = ::flock(fd, LOCK_EX | LOCK_NB);
  } while (result != 0 && errno == EINTR);
  if (result != 0) return errno == EWOULDBLOCK ? Lock::HeldElsewhere : Lock::Failed;
  struct flock record {};
  record.l_type = F_WRLCK;
  record.l_whence = SEEK_SET;
  const int status = ::fcntl(fd, F_GETFL);
  const bool writable = status >= 0 && (status & O_ACCMODE) != O_RDONLY;
  // An open file description's own record lock conflicts with lockf's and
  // fcntl's; one opened for reading can only ask whether another is held.
  if (::fcntl(fd, writable ? F_OFD_SETLK : F_OFD_GETLK, &record) != 0) {
    if (errno == EAGAIN || errno == EACCES) return Lock::HeldElsewhere;
    return errno == EINVAL ? Lock::Locked : Lock::Failed;  // no record locks here
  }
  if (!writable && record.l_type != F_UNLCK) return Lock::HeldElsewhere;
  return Lock::Locked;
}

std::optional<uint64_t> File::Size() {
  struct stat info {};
  if (!IsOpen() || ::fstat(Descriptor(handle_), &info) != 0) return std::nullopt;
  return static_cast<uint64_t>(info.st_size);
}

uint64_t File::DataFrom(uint64_t offset) {
  if (!IsOpen() || offset > static_cast<uint64_t>(std::numeric_limits<off_t>::max())) return offset;
  const off_t data = ::lseek(Descriptor(handle_), static_cast<off_t>(offset), SEEK_DATA);
  if (data >= 0) return static_cast<uint64_t>(data);
  // ENXIO: no data from `offset` to the end; anything else: not known here.
  return errno == ENXIO ? Size().value_or(offset) : offset;
}

std::string File::PathToItself() const {
  return IsOpen() ? "/proc/self/fd/" + std::to_string(Descriptor(handle_)) : std::string();
}

}  // namespace os
