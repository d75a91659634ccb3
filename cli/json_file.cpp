#include "cli/json_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

namespace cli {
namespace {

namespace fs = std::filesystem;

std::string SystemError() { return std::strerror(errno); }

bool WriteAll(int fd, std::string_view text) {
  while (!text.empty()) {
    const ssize_t put = ::write(fd, text.data(), text.size());
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) return false;
    text.remove_prefix(static_cast<size_t>(put));
  }
  return true;
}

// Empty, or JSON by its first character: what an earlier run left.
bool HoldsJsonOrNothing(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) return false;
  char start[4096];
  ssize_t got;
  do {
    got = ::read(fd, start, sizeof start);
  } while (got < 0 && errno == EINTR);
  ::close(fd);
  if (got < 0) return false;
  std::string_view text(start, static_cast<size_t>(got));
  if (text.starts_with("\xEF\xBB\xBF")) text.remove_prefix(3);
  const size_t first = text.find_first_not_of(" \t\r\n");
  return first == std::string_view::npos || text[first] == '{' || text[first] == '[';
}

// A new file beside `target`, made with O_EXCL under a name of its own; its
// name is in `made`. -1 when none can be made.
int CreateBeside(const std::string& target, unsigned mode, std::string& made) {
  const fs::path where(target);
  const fs::path folder = where.has_parent_path() ? where.parent_path() : fs::path(".");
  const std::string stem =
      "." + where.filename().string() + ".krizclean-" + std::to_string(::getpid());
  for (int attempt = 0; attempt < 100; ++attempt) {
    made = (folder / (stem + "-" + std::to_string(attempt))).string();
    const int fd = ::open(made.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY,
                          static_cast<mode_t>(mode));
    if (fd >= 0 || errno != EEXIST) return fd;
  }
  return -1;
}

}  // namespace

std::optional<JsonFile> JsonFile::Prepare(const std::string& path, std::string& error) {
  JsonFile file;
  file.target_ = path;
  std::error_code failed;
  if (fs::is_symlink(path, failed)) {
    const fs::path resolved = fs::weakly_canonical(path, failed);
    if (!failed) file.target_ = resolved.string();
  }
  struct stat info {};
  if (::stat(file.target_.c_str(), &info) == 0) {
    if (S_ISDIR(info.st_mode)) {
      error = "is a folder";
      return std::nullopt;
    }
    if (!S_ISREG(info.st_mode)) {
      file.replace_ = false;
      return file;
    }
    if (!HoldsJsonOrNothing(file.target_)) {
      error = "holds something other than JSON; not replaced";
      return std::nullopt;
    }
    file.mode_ = static_cast<unsigned>(info.st_mode & 07777);
  } else if (errno != ENOENT) {
    error = SystemError();
    return std::nullopt;
  }
  // A file can be made beside it: the run that follows will be able to
  // leave its results.
  std::string probe;
  const int fd = CreateBeside(file.target_, 0600, probe);
  if (fd < 0) {
    error = "cannot write the JSON file: " + SystemError();
    return std::nullopt;
  }
  ::close(fd);
  ::unlink(probe.c_str());
  return file;
}

bool JsonFile::Write(std::string_view text, std::string& error) const {
  if (!replace_) {
    const int fd = ::open(target_.c_str(), O_WRONLY | O_CLOEXEC | O_NOCTTY);
    bool written = fd >= 0 && WriteAll(fd, text);
    if (!written) error = "cannot write the JSON file: " + SystemError();
    if (fd >= 0 && ::close(fd) != 0 && written) {
      error = "cannot write the JSON file: " + SystemError();
      written = false;
    }
    return written;
  }
  std::string made;
  const int fd = CreateBeside(target_, mode_.value_or(0666), made);
  if (fd < 0) {
    error = "cannot write the JSON file: " + SystemError();
    return false;
  }
  // The permissions of the file it replaces, which the umask may have cut.
  bool written = (!mode_ || ::fchmod(fd, static_cast<mode_t>(*mode_)) == 0) && WriteAll(fd, text) &&
                 ::fsync(fd) == 0;
  written = ::close(fd) == 0 && written;
  written = written && ::rename(made.c_str(), target_.c_str()) == 0;
  if (!written) {
    error = "cannot write the JSON file: " + SystemError();
    ::unlink(made.c_str());
  }
  return written;
}

}  // namespace cli
