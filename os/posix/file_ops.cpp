#include "os/file_ops.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

namespace os {
namespace {

constexpr uint32_t kPermissionBits = 07777;

bool WriteAll(int fd, const char* bytes, size_t length) {
  while (length > 0) {
    ssize_t put = ::write(fd, bytes, length);
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) return false;
    bytes += put;
    length -= static_cast<size_t>(put);
  }
  return true;
}

bool CopyContents(int from, int to) {
  std::vector<char> buffer(1u << 16);
  for (;;) {
    ssize_t got = ::read(from, buffer.data(), buffer.size());
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return false;
    if (got == 0) return true;
    if (!WriteAll(to, buffer.data(), static_cast<size_t>(got))) return false;
  }
}

}  // namespace

std::optional<FileAttributes> ReadAttributes(const std::string& path) {
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) return std::nullopt;
  return FileAttributes{static_cast<uint32_t>(info.st_mode) & kPermissionBits};
}

bool WriteAttributes(const std::string& path, FileAttributes attributes) {
  return ::chmod(path.c_str(), static_cast<mode_t>(attributes.bits & kPermissionBits)) == 0;
}

bool IsReadOnly(FileAttributes attributes) { return (attributes.bits & S_IWUSR) == 0; }

FileAttributes WithoutReadOnly(FileAttributes attributes) {
  return FileAttributes{attributes.bits | S_IWUSR};
}

bool CopyNew(const std::string& from, const std::string& to) {
  int source = ::open(from.c_str(), O_RDONLY | O_CLOEXEC);
  if (source < 0) return false;
  struct stat info {};
  if (::fstat(source, &info) != 0 || !S_ISREG(info.st_mode)) {
    ::close(source);
    return false;
  }
  int target = ::open(to.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC,
                      static_cast<mode_t>(info.st_mode & 0777));
  if (target < 0) {
    ::close(source);
    return false;
  }
  bool copied = CopyContents(source, target);
  copied = ::close(target) == 0 && copied;
  ::close(source);
  if (!copied) ::unlink(to.c_str());  // the name was ours: O_EXCL created it
  return copied;
}

bool RemoveFile(const std::string& path) { return ::unlink(path.c_str()) == 0; }

std::string ShortPath(const std::string& path) { return path; }

}  // namespace os
