#include "os/file_ops.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
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

// Copies up to `limit` bytes; true when the whole source was copied.
bool CopyContents(int from, int to, uint64_t limit) {
  std::vector<char> buffer(1u << 16);
  for (;;) {
    size_t want = static_cast<size_t>(std::min<uint64_t>(buffer.size(), limit));
    ssize_t got = want == 0 ? 0 : ::read(from, buffer.data(), want);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return false;
    if (got == 0) return want != 0;
    if (!WriteAll(to, buffer.data(), static_cast<size_t>(got))) return false;
    limit -= static_cast<uint64_t>(got);
  }
}

}  // namespace

std::optional<FileAttributes> ReadAttributes(const std::string& path) {
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) return std::nullopt;
  return FileAttributes{static_cast<uint32_t>(info.st_mode) & kPermissionBits};
}

bool WriteAttributes(const std::string& path, FileAttributes attributes, WriteFaults* faults) {
  if (OnChange(faults) != WriteFaults::Verdict::Go) return false;
  return ::chmod(path.c_str(), static_cast<mode_t>(attributes.bits & kPermissionBits)) == 0;
}

bool IsReadOnly(FileAttributes attributes) { return (attributes.bits & S_IWUSR) == 0; }

FileAttributes WithoutReadOnly(FileAttributes attributes) {
  return FileAttributes{attributes.bits | S_IWUSR};
}

bool CopyNew(const std::string& from, const std::string& to, WriteFaults* faults) {
  WriteFaults::Verdict verdict = OnWrite(faults);
  if (verdict == WriteFaults::Verdict::Fail) return false;
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
  bool copied = CopyContents(
      source, target,
      verdict == WriteFaults::Verdict::Half ? static_cast<uint64_t>(info.st_size) / 2 : UINT64_MAX);
  copied = ::close(target) == 0 && copied && verdict == WriteFaults::Verdict::Go;
  ::close(source);
  // The name was ours (O_EXCL made it), unless the machine stopped first.
  if (!copied && (faults == nullptr || !faults->stopped())) ::unlink(to.c_str());
  return copied;
}

bool AppendToFile(const std::string& path, const std::string& bytes, WriteFaults* faults) {
  const WriteFaults::Verdict verdict = OnWrite(faults);
  if (verdict == WriteFaults::Verdict::Fail) return false;
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  const size_t size = verdict == WriteFaults::Verdict::Half ? bytes.size() / 2 : bytes.size();
  ssize_t put;
  do {
    put = ::write(fd, bytes.data(), size);
  } while (put < 0 && errno == EINTR);
  bool appended = put >= 0 && static_cast<size_t>(put) == size &&
                  verdict == WriteFaults::Verdict::Go &&
                  OnChange(faults) == WriteFaults::Verdict::Go && ::fsync(fd) == 0;
  appended = ::close(fd) == 0 && appended;
  return appended;
}

bool RemoveFile(const std::string& path, WriteFaults* faults) {
  return OnChange(faults) == WriteFaults::Verdict::Go && ::unlink(path.c_str()) == 0;
}

bool FlushFolderOf(const std::string& path, WriteFaults* faults) {
  if (OnChange(faults) != WriteFaults::Verdict::Go) return false;
  size_t slash = path.rfind('/');
  std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
  int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return false;
  int result;
  do {
    result = ::fsync(fd);
  } while (result != 0 && errno == EINTR);
  ::close(fd);
  return result == 0;
}

std::string ShortPath(const std::string& path) { return path; }

}  // namespace os
