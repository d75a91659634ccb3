#include "os/directory.h"

#include "os/posix/open_regular.h"
#include "os/resolve.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
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
      type = S_ISDIR(info.st_mode)   ? DT_DIR
             : S_ISREG(info.st_mode) ? DT_REG
             : S_ISLNK(info.st_mode) ? DT_LNK
                                     : DT_FIFO;
    }
  }
  // Symbolic links are neither: following them could leave the tree or loop.
  entry.isDirectory = type == DT_DIR;
  entry.isFile = type == DT_REG;
  entry.isOther = type == DT_FIFO || type == DT_SOCK || type == DT_CHR || type == DT_BLK;
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

Folder Folder::Open(const std::string& path) { return ResolveFolder(path, PathRules{}).folder; }

Folder Folder::Adopt(intptr_t handle) {
  Folder folder;
  if (handle >= 0) folder.state_ = std::make_unique<State>(static_cast<int>(handle));
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

std::optional<FolderKey> Folder::Key() const {
  struct stat info {};
  if (state_ == nullptr || ::fstat(state_->fd, &info) != 0) return std::nullopt;
  FolderKey identity;
  identity.device = static_cast<uint64_t>(info.st_dev);
  identity.inode = static_cast<uint64_t>(info.st_ino);
  return identity;
}

intptr_t Folder::NativeHandle() const { return state_ != nullptr ? state_->fd : -1; }

File Folder::OpenToRead(const std::string& name) const {
  if (state_ == nullptr) return File();
  // Only regular files, as File::Open, and never waiting on a pipe.
  FileIdentity opened;
  const int fd = OpenRegularAt(state_->fd, name.c_str(), O_RDONLY | O_NOFOLLOW, 0, &opened);
  return fd >= 0 ? File(fd, opened) : File();
}

File Folder::OpenFile(const std::string& name, Access access, Share /*share*/,
                      WriteFaults* faults) const {
  if (state_ == nullptr || name.empty()) return File();
  const int fd = OpenRegularAt(state_->fd, name.c_str(),
                               (access == Access::ReadWrite ? O_RDWR : O_RDONLY) | O_NOFOLLOW, 0);
  return fd >= 0 ? File(fd, faults) : File();
}

File Folder::MakeNewFile(const std::string& name, uint32_t mode, WriteFaults* faults) const {
  if (state_ == nullptr || name.empty()) return File();
  // Making a file takes room on the disk: a failing disk may refuse it, or
  // stop right after it.
  const WriteFaults::Verdict made = OnWrite(faults);
  if (made == WriteFaults::Verdict::Fail) return File();
  const int fd =
      OpenRegularAt(state_->fd, name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW, mode & 0777);
  if (fd < 0) return File();
  if (made != WriteFaults::Verdict::Go) {
    ::close(fd);
    return File();
  }
  return File(fd, faults);
}

bool Folder::AppendToOwn(const std::string& name, const std::string& bytes,
                         WriteFaults* faults) const {
  if (state_ == nullptr || name.empty()) return false;
  const WriteFaults::Verdict verdict = OnWrite(faults);
  if (verdict == WriteFaults::Verdict::Fail) return false;
  int fd = OpenRegularAt(state_->fd, name.c_str(), O_WRONLY | O_APPEND | O_NOFOLLOW, 0);
  if (fd < 0 && errno == ENOENT) {
    fd = OpenRegularAt(state_->fd, name.c_str(),
                       O_WRONLY | O_APPEND | O_CREAT | O_EXCL | O_NOFOLLOW, 0600);
    if (fd < 0 && errno == EEXIST) {
      fd = OpenRegularAt(state_->fd, name.c_str(), O_WRONLY | O_APPEND | O_NOFOLLOW, 0);
    }
  }
  if (fd < 0) return false;
  struct stat info {};
  const uid_t me = ::geteuid();
  bool appended =
      ::fstat(fd, &info) == 0 && info.st_nlink == 1 && (info.st_uid == me || info.st_uid == 0);
  const size_t size = verdict == WriteFaults::Verdict::Half ? bytes.size() / 2 : bytes.size();
  ssize_t put = -1;
  if (appended) {
    do {
      put = ::write(fd, bytes.data(), size);
    } while (put < 0 && errno == EINTR);
  }
  appended = appended && put >= 0 && static_cast<size_t>(put) == size &&
             verdict == WriteFaults::Verdict::Go && OnChange(faults) == WriteFaults::Verdict::Go &&
             ::fsync(fd) == 0;
  appended = ::close(fd) == 0 && appended;
  return appended;
}

bool Folder::Remove(const std::string& name, WriteFaults* faults) const {
  return state_ != nullptr && !name.empty() && OnChange(faults) == WriteFaults::Verdict::Go &&
         ::unlinkat(state_->fd, name.c_str(), 0) == 0;
}

bool Folder::RemoveHeld(const std::string& name, File& held, WriteFaults* faults) const {
  const bool removed = Remove(name, faults);
  held.Close();
  return removed;
}

bool Folder::Rename(const std::string& from, const std::string& to, WriteFaults* faults) const {
  return state_ != nullptr && OnChange(faults) == WriteFaults::Verdict::Go &&
         ::renameat(state_->fd, from.c_str(), state_->fd, to.c_str()) == 0;
}

bool Folder::Flush(WriteFaults* faults) const {
  if (state_ == nullptr || OnChange(faults) != WriteFaults::Verdict::Go) return false;
  int result;
  do {
    result = ::fsync(state_->fd);
  } while (result != 0 && errno == EINTR);
  // A folder held by O_PATH (Current) cannot be flushed: reopen it.
  if (result != 0 && errno == EBADF) {
    const int fd = OpenDirectory(state_->fd, ".", 0);
    if (fd < 0) return false;
    result = ::fsync(fd);
    ::close(fd);
  }
  return result == 0;
}

EntryInfo Folder::Look(const std::string& name) const {
  EntryInfo info;
  struct stat found {};
  if (state_ == nullptr || name.empty() ||
      ::fstatat(state_->fd, name.c_str(), &found, AT_SYMLINK_NOFOLLOW) != 0) {
    info.kind =
        state_ != nullptr && errno == ENOENT ? EntryInfo::Kind::Missing : EntryInfo::Kind::Unknown;
    return info;
  }
  info.identity = IdentityOf(found);
  info.kind = S_ISREG(found.st_mode)   ? EntryInfo::Kind::File
              : S_ISDIR(found.st_mode) ? EntryInfo::Kind::Folder
              : S_ISLNK(found.st_mode) ? EntryInfo::Kind::Link
                                       : EntryInfo::Kind::Other;
  return info;
}

std::optional<FileIdentity> Folder::Identity() const {
  struct stat found {};
  if (state_ == nullptr || ::fstat(state_->fd, &found) != 0) return std::nullopt;
  return IdentityOf(found);
}

bool Folder::WritableByOthers() const {
  std::optional<FileIdentity> identity = Identity();
  return !identity || (identity->mode & (S_IWGRP | S_IWOTH)) != 0;
}

bool Folder::MakeChild(const std::string& name) const {
  return state_ != nullptr && ::mkdirat(state_->fd, name.c_str(), 0700) == 0;
}

bool Folder::SetMode(uint32_t mode) const {
  return state_ != nullptr && ::fchmod(state_->fd, static_cast<mode_t>(mode & 07777)) == 0;
}

Folder Folder::OpenParent(const std::string& path, bool resolveLink, std::string& name) {
  ResolvedParent resolved = ResolveParent(path, PathRules{}, resolveLink);
  name = std::move(resolved.name);
  return std::move(resolved.folder);
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
