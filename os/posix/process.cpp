#include "os/process.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <vector>

#include "os/file_ops.h"

namespace os {

std::string ModulePath() {
  std::vector<char> buffer(4096);
  ssize_t length = ::readlink("/proc/self/exe", buffer.data(), buffer.size() - 1);
  if (length <= 0) return std::string();
  return std::string(buffer.data(), static_cast<size_t>(length));
}

std::string TempDirectory() {
  const char* tmp = std::getenv("TMPDIR");
  std::string dir = tmp != nullptr && *tmp != '\0' ? tmp : "/tmp";
  if (dir.back() != '/') dir += '/';
  return dir;
}

bool CopyReplacing(const std::string& from, const std::string& to) {
  // A fresh copy beside the target, then renamed over it: the target is
  // never left half-written.
  std::string fresh = to + ".krizcopy";
  ::unlink(fresh.c_str());
  if (!CopyNew(from, fresh)) return false;
  if (::rename(fresh.c_str(), to.c_str()) != 0) {
    ::unlink(fresh.c_str());
    return false;
  }
  return true;
}

std::optional<std::string> NameOnDisk(const std::string& path) {
  struct stat info {};
  if (::lstat(path.c_str(), &info) != 0) return std::nullopt;
  return path;  // names are exact on POSIX
}

bool RequestRestart() { return false; }

}  // namespace os
