#include "os/file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <limits>

namespace os {
namespace {

int Descriptor(intptr_t handle) { return static_cast<int>(handle); }

bool FitsOffset(uint64_t offset, uint32_t length) {
  return offset + length <= static_cast<uint64_t>(std::numeric_limits<off_t>::max());
}

}  // namespace

File File::Open(const std::string& path, Access access, Share /*share*/, Disposition disposition,
                WriteFaults* faults) {
  // Making a file takes room on the disk: a failing disk may refuse it, or
  // stop right after it.
  WriteFaults::Verdict made =
      disposition == Disposition::OpenExisting ? WriteFaults::Verdict::Go : OnWrite(faults);
  if (made == WriteFaults::Verdict::Fail) return File();
  int flags = (access == Access::ReadWrite ? O_RDWR : O_RDONLY) | O_CLOEXEC | O_NOCTTY;
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
  int fd;
  do {
    fd = ::open(path.c_str(), flags, 0666);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return File();
  // Only regular files are files here: a directory, device or pipe is refused
  // the way Win32 refuses to open them as files.
  struct stat info {};
  if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || made != WriteFaults::Verdict::Go) {
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

std::optional<uint64_t> File::Size() {
  struct stat info {};
  if (!IsOpen() || ::fstat(Descriptor(handle_), &info) != 0) return std::nullopt;
  return static_cast<uint64_t>(info.st_size);
}

}  // namespace os
