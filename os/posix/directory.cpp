#include "os/directory.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

namespace os {
namespace {

int OpenDirectory(int at, const char* name, int extraFlags) {
  int fd;
  do {
    fd = ::openat(at, name, O_RDONLY | O_DIRECTORY | O_CLOEXEC | extraFlags);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

}  // namespace

struct DirectoryListing::State {
  DIR* dir = nullptr;
  bool failed = false;
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
  if (state_ == nullptr || state_->failed) return false;
  errno = 0;
  struct dirent* found = ::readdir(state_->dir);
  if (found == nullptr) {
    state_->failed = errno != 0;
    return false;
  }
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

bool DirectoryListing::Failed() const { return state_ != nullptr && state_->failed; }

bool ChangeDirectory(const std::string& path) { return ::chdir(path.c_str()) == 0; }

std::string WorkingDirectory() {
  std::vector<char> buffer(4096);
  while (::getcwd(buffer.data(), buffer.size()) == nullptr) {
    if (errno != ERANGE || buffer.size() > (1u << 20)) return std::string();
    buffer.resize(buffer.size() * 2);
  }
  return std::string(buffer.data());
}

struct Folder::State {
  explicit State(int descriptor) : fd(descriptor) {}
  ~State() { ::close(fd); }
  State(const State&) = delete;
  State& operator=(const State&) = delete;
  int fd;
};

Folder::Folder() = default;
Folder::~Folder() = default;
Folder::Folder(Folder&& other) noexcept = default;
Folder& Folder::operator=(Folder&& other) noexcept = default;

Folder Folder::Open(const std::string& path) {
  Folder folder;
  int fd = OpenDirectory(AT_FDCWD, path.c_str(), 0);
  if (fd >= 0) folder.state_ = std::make_unique<State>(fd);
  return folder;
}

Folder Folder::Current() {
  // O_PATH: coming back needs no right to list the folder.
  Folder folder;
  int fd = OpenDirectory(AT_FDCWD, ".", O_PATH);
  if (fd >= 0) folder.state_ = std::make_unique<State>(fd);
  return folder;
}

Folder Folder::OpenChild(const std::string& name) const {
  Folder child;
  int fd = state_ != nullptr ? OpenDirectory(state_->fd, name.c_str(), O_NOFOLLOW) : -1;
  if (fd >= 0) child.state_ = std::make_unique<State>(fd);
  return child;
}

std::string Folder::PathOf(const std::string& name) const {
  if (state_ == nullptr) return std::string();
  return "/proc/self/fd/" + std::to_string(state_->fd) + "/" + name;
}

std::optional<FolderIdentity> Folder::Identity() const {
  struct stat info {};
  if (state_ == nullptr || ::fstat(state_->fd, &info) != 0) return std::nullopt;
  FolderIdentity identity;
  identity.device = static_cast<uint64_t>(info.st_dev);
  identity.inode = static_cast<uint64_t>(info.st_ino);
  return identity;
}

intptr_t Folder::NativeHandle() const { return state_ != nullptr ? state_->fd : -1; }

File Folder::OpenToRead(const std::string& name) const {
  if (state_ == nullptr) return File();
  int fd;
  do {
    fd = ::openat(state_->fd, name.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return File();
  // Only regular files, as File::Open.
  struct stat info {};
  if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    ::close(fd);
    return File();
  }
  return File(fd, nullptr);
}

bool Folder::MakeCurrent() const { return state_ != nullptr && ::fchdir(state_->fd) == 0; }

DirectoryListing Folder::List() const {
  DirectoryListing listing;
  if (state_ == nullptr) return listing;
  // The listing owns a descriptor of its own, so that the folder's stays
  // free for opening subfolders and entering.
  int copy = ::fcntl(state_->fd, F_DUPFD_CLOEXEC, 0);
  if (copy < 0) return listing;
  DIR* dir = ::fdopendir(copy);
  if (dir == nullptr) {
    ::close(copy);
    return listing;
  }
  // A duplicate shares the position of the folder's descriptor, which an
  // earlier listing left at the end.
  ::rewinddir(dir);
  listing.state_ = std::make_unique<DirectoryListing::State>();
  listing.state_->dir = dir;
  return listing;
}

}  // namespace os
