#include "os/directory.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

namespace os {

struct DirectoryListing::State {
  DIR* dir = nullptr;
};

DirectoryListing DirectoryListing::OpenCurrent() {
  DirectoryListing listing;
  DIR* dir = ::opendir(".");
  if (dir == nullptr) return listing;
  listing.state_ = std::make_unique<State>();
  listing.state_->dir = dir;
  return listing;
}

DirectoryListing::~DirectoryListing() {
  if (state_ != nullptr) ::closedir(state_->dir);
}

DirectoryListing::DirectoryListing(DirectoryListing&& other) noexcept = default;

DirectoryListing& DirectoryListing::operator=(DirectoryListing&& other) noexcept {
  if (this != &other) {
    if (state_ != nullptr) ::closedir(state_->dir);
    state_ = std::move(other.state_);
  }
  return *this;
}

bool DirectoryListing::Next(DirectoryEntry& entry) {
  if (state_ == nullptr) return false;
  errno = 0;
  struct dirent* found = ::readdir(state_->dir);
  if (found == nullptr) return false;
  entry.longName = found->d_name;
  entry.shortName.clear();
  unsigned char type = found->d_type;
  if (type == DT_UNKNOWN) {
    // Some file systems do not say; ask without following a link.
    struct stat info {};
    if (::fstatat(::dirfd(state_->dir), found->d_name, &info, AT_SYMLINK_NOFOLLOW) == 0) {
      type = S_ISDIR(info.st_mode) ? DT_DIR : S_ISREG(info.st_mode) ? DT_REG : DT_LNK;
    }
  }
  // Symbolic links are neither: following them could leave the tree or loop.
  entry.isDirectory = type == DT_DIR;
  entry.isFile = type == DT_REG;
  return true;
}

bool ChangeDirectory(const std::string& path) { return ::chdir(path.c_str()) == 0; }

std::string WorkingDirectory() {
  std::vector<char> buffer(4096);
  while (::getcwd(buffer.data(), buffer.size()) == nullptr) {
    if (errno != ERANGE || buffer.size() > (1u << 20)) return std::string();
    buffer.resize(buffer.size() * 2);
  }
  return std::string(buffer.data());
}

}  // namespace os
