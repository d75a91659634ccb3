#include "os/resolve.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <vector>

namespace os {
namespace {

// As the kernel: a path that leads through more links than this loops.
constexpr int kMaxLinks = 40;

// A descriptor that closes itself.
class Held {
 public:
  Held() = default;
  explicit Held(int fd) : fd_(fd) {}
  ~Held() {
    if (fd_ >= 0) ::close(fd_);
  }
  Held(Held&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
  Held& operator=(Held&& other) noexcept {
    if (this != &other) {
      if (fd_ >= 0) ::close(fd_);
      fd_ = other.fd_;
      other.fd_ = -1;
    }
    return *this;
  }
  Held(const Held&) = delete;
  Held& operator=(const Held&) = delete;
  int get() const { return fd_; }
  int release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }

 private:
  int fd_ = -1;
};

int OpenAt(int at, const char* name, int flags) {
  int fd;
  do {
    fd = ::openat(at, name, flags | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

bool Trusted(uid_t owner) { return owner == 0 || owner == ::geteuid(); }

// No one but root and the running user can add, remove or rename entries in
// a folder of this kind. A sticky folder lets each user remove only their
// own entries, so what root or the running user made there stays theirs.
bool KeptByUs(const struct stat& folder) {
  return Trusted(folder.st_uid) &&
         ((folder.st_mode & (S_IWGRP | S_IWOTH)) == 0 || (folder.st_mode & S_ISVTX) != 0);
}

// The parts of `path`, in order.
std::deque<std::string> Parts(const std::string& path) {
  std::deque<std::string> parts;
  size_t from = 0;
  while (from <= path.size()) {
    size_t end = path.find('/', from);
    if (end == std::string::npos) end = path.size();
    if (end > from) parts.emplace_back(path, from, end - from);
    from = end + 1;
  }
  return parts;
}

// Where the resolution stands: the folders entered, from the first (the root
// or the start) to the one the next part is looked up in.
class Walk {
 public:
  explicit Walk(const PathRules& rules) : rules_(rules) {}

  // Starts at "/" or, for a relative path, at the current directory (whose
  // folders above are then checked as well, by its absolute path).
  bool Start(const std::string& path, std::deque<std::string>& parts) {
    // Our own descriptors, named through /proc/self/fd/N: the folder behind
    // N is one this process holds open already, whatever name led there.
    static constexpr char kOwnDescriptor[] = "/proc/self/fd/";
    if (path.rfind(kOwnDescriptor, 0) == 0) {
      parts = Parts(path.substr(sizeof kOwnDescriptor - 1));
      if (!parts.empty() && parts.front().find_first_not_of("0123456789") == std::string::npos) {
        const int own = std::atoi(parts.front().c_str());
        parts.pop_front();
        Held fd(OpenAt(own, ".", O_PATH | O_DIRECTORY));
        if (fd.get() >= 0) return Push(std::move(fd));
      }
      return Refuse("it cannot be opened");
    }
    std::string absolute = path;
    if (path.empty() || path.front() != '/') {
      char buffer[4096];
      if (::getcwd(buffer, sizeof buffer) == nullptr) {
        parts = Parts(path);
        Held fd(OpenAt(AT_FDCWD, ".", O_PATH | O_DIRECTORY));
        return fd.get() >= 0 ? Push(std::move(fd)) : Refuse("the current folder cannot be opened");
      }
      absolute = std::string(buffer) + "/" + path;
    }
    parts = Parts(absolute);
    Held fd(OpenAt(AT_FDCWD, "/", O_PATH | O_DIRECTORY));
    return fd.get() >= 0 ? Push(std::move(fd)) : Refuse("the root folder cannot be opened");
  }

  // Takes the next part; false when the path is refused or leads nowhere.
  // `last`: the part names the entry the caller wants, not a folder to
  // enter (unless it is a link to follow).
  bool Step(std::deque<std::string>& parts, bool last, bool followLast, std::string* name) {
    std::string part = std::move(parts.front());
    parts.pop_front();
    if (part == ".") return true;
    if (part == "..") {
      if (!rules_.allowDotDot) return Refuse("its path holds \"..\"; not followed");
      if (last && name != nullptr) return Refuse("it names no file");
      if (folders_.size() > 1) {
        folders_.pop_back();
        return true;
      }
      // Above where the walk started (a relative path from a folder whose
      // own path cannot be told): its parent, as the system has it.
      Held up(OpenAt(Top(), "..", O_PATH | O_DIRECTORY));
      if (up.get() < 0) return Refuse(std::strerror(errno));
      folders_.clear();
      return Push(std::move(up));
    }
    struct stat found {};
    const bool exists = ::fstatat(Top(), part.c_str(), &found, AT_SYMLINK_NOFOLLOW) == 0;
    if (exists && S_ISLNK(found.st_mode) && (!last || followLast)) {
      return FollowLink(part, parts);
    }
    if (last && name != nullptr) {
      *name = std::move(part);
      return true;
    }
    if (!exists) {
      return Refuse(errno == ENOENT ? "there is no such folder" : std::strerror(errno));
    }
    Held fd(OpenAt(Top(), part.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW));
    if (fd.get() < 0) {
      return Refuse(errno == ENOTDIR || errno == ELOOP ? "a part of its path is no folder"
                                                       : std::strerror(errno));
    }
    return Push(std::move(fd));
  }

  // The folder reached, opened for listing and entering.
  Folder Finish() {
    Held fd(OpenAt(Top(), ".", O_RDONLY | O_DIRECTORY));
    if (fd.get() < 0) {
      Refuse(std::strerror(errno));
      return Folder();
    }
    return Folder::Adopt(fd.release());
  }

  const std::string& refusal() const { return refusal_; }
  // The system's error behind a refusal, put back in errno for a caller
  // that words it itself.
  int error() const { return error_; }

 private:
  int Top() const { return folders_.back().fd.get(); }

  bool Refuse(std::string why) {
    error_ = errno;
    refusal_ = std::move(why);
    return false;
  }

  bool Push(Held fd) {
    struct stat info {};
    if (::fstat(fd.get(), &info) != 0) return Refuse(std::strerror(errno));
    if (rules_.forWriting && !KeptByUs(info)) {
      return Refuse(Trusted(info.st_uid) ? "a folder on its path can be changed by other users"
                                         : "a folder on its path belongs to another user");
    }
    folders_.push_back({std::move(fd), info});
    return true;
  }

  // Continues through the link `part` of the folder on top, when it is one
  // that no other user can have placed or changed.
  bool FollowLink(const std::string& part, std::deque<std::string>& parts) {
    if (!rules_.followLinks) return Refuse("a part of its path is a symbolic link; not followed");
    if (++links_ > kMaxLinks) return Refuse("its path leads through too many symbolic links");
    // The link itself, held: its owner and its text are then of one link.
    Held link(OpenAt(Top(), part.c_str(), O_PATH | O_NOFOLLOW));
    struct stat info {};
    if (link.get() < 0 || ::fstat(link.get(), &info) != 0 || !S_ISLNK(info.st_mode)) {
      return Refuse("a part of its path changed while it was followed");
    }
    if (!Trusted(info.st_uid) || !KeptByUs(folders_.back().info)) {
      return Refuse(
          "a part of its path is a symbolic link that another user could have placed; "
          "not followed");
    }
    std::vector<char> text(static_cast<size_t>(info.st_size > 0 ? info.st_size : 255) + 1);
    const ssize_t length = ::readlinkat(link.get(), "", text.data(), text.size());
    if (length <= 0 || static_cast<size_t>(length) >= text.size()) {
      return Refuse("a symbolic link on its path cannot be read");
    }
    const std::string target(text.data(), static_cast<size_t>(length));
    std::deque<std::string> more = Parts(target);
    parts.insert(parts.begin(), more.begin(), more.end());
    if (target.front() == '/') {
      folders_.clear();
      Held root(OpenAt(AT_FDCWD, "/", O_PATH | O_DIRECTORY));
      if (root.get() < 0) return Refuse("the root folder cannot be opened");
      return Push(std::move(root));
    }
    return true;
  }

  struct Entered {
    Held fd;
    struct stat info;
  };

  const PathRules& rules_;
  std::vector<Entered> folders_;
  std::string refusal_;
  int error_ = 0;
  int links_ = 0;
};

}  // namespace

ResolvedFolder ResolveFolder(const std::string& path, const PathRules& rules) {
  ResolvedFolder resolved;
  Walk walk(rules);
  std::deque<std::string> parts;
  bool going = walk.Start(path, parts);
  while (going && !parts.empty()) going = walk.Step(parts, parts.size() == 1, true, nullptr);
  if (going) resolved.folder = walk.Finish();
  resolved.refusal = walk.refusal();
  if (!resolved.folder.IsOpen() && resolved.refusal.empty())
    resolved.refusal = "it cannot be opened";
  if (!resolved.folder.IsOpen()) errno = walk.error();
  return resolved;
}

ResolvedParent ResolveParent(const std::string& path, const PathRules& rules, bool followLast) {
  ResolvedParent resolved;
  Walk walk(rules);
  std::deque<std::string> parts;
  bool going = walk.Start(path, parts);
  if (going && parts.empty()) going = false;  // "/" names no file
  std::string name;
  while (going && !parts.empty()) {
    going = walk.Step(parts, parts.size() == 1, followLast, &name);
    // A followed link at the end puts its target's parts in its place.
    if (going && parts.empty() && name.empty()) going = false;
  }
  if (going && !name.empty()) {
    resolved.folder = walk.Finish();
    if (resolved.folder.IsOpen()) resolved.name = std::move(name);
  }
  resolved.refusal = walk.refusal();
  if (!resolved.folder.IsOpen() && resolved.refusal.empty()) {
    resolved.refusal = "it cannot be opened";
  }
  if (!resolved.folder.IsOpen()) errno = walk.error();
  return resolved;
}

}  // namespace os
