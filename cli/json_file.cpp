#include "cli/json_file.h"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "os/resolve.h"
#include "os/system.h"

namespace cli {
namespace {

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

bool Trusted(uint32_t owner) { return owner == os::CurrentUser() || owner == os::kSuperUser; }

// Empty, or JSON by its first character: what an earlier run left.
bool HoldsJsonOrNothing(os::File& file) {
  char start[4096];
  const std::optional<uint32_t> got = file.ReadAt(0, start, sizeof start);
  if (!got) return false;
  std::string_view text(start, *got);
  if (text.starts_with("\xEF\xBB\xBF")) text.remove_prefix(3);
  const size_t first = text.find_first_not_of(" \t\r\n");
  return first == std::string_view::npos || text[first] == '{' || text[first] == '[';
}

// A name that no one can guess ahead and plant: the file's own with twelve
// random letters.
std::string RandomName(const std::string& name) {
  static constexpr char kLetters[] =
      "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
  unsigned char random[12] = {};
  if (::getrandom(random, sizeof random, 0) != static_cast<ssize_t>(sizeof random)) {
    const auto seed = static_cast<unsigned>(::getpid()) ^ static_cast<unsigned>(::time(nullptr));
    for (size_t i = 0; i < sizeof random; ++i) random[i] = static_cast<unsigned char>(seed >> i);
  }
  std::string made = "." + name + ".krizclean-";
  for (unsigned char byte : random) made += kLetters[byte % (sizeof kLetters - 1)];
  return made;
}

// A new file in `folder`, made with O_EXCL under a random name of its own;
// its name is in `made`. Unopened when none can be made.
os::File CreateBeside(const os::Folder& folder, const std::string& name, unsigned mode,
                      std::string& made) {
  for (int attempt = 0; attempt < 100; ++attempt) {
    made = RandomName(name);
    os::File file = folder.MakeNewFile(made, mode);
    if (file.IsOpen() || errno != EEXIST) return file;
  }
  return os::File();
}

const char* WhatFor(JsonFile::Use use) {
  switch (use) {
    case JsonFile::Use::Replace:
      return "cannot write the JSON file: ";
    case JsonFile::Use::Stream:
      return "cannot write the JSON Lines file: ";
    case JsonFile::Use::Append:
      break;
  }
  return "cannot write the log: ";
}

// Opens a file that is no regular file for writing, without waiting for a
// reader that is not there; -1 when it cannot.
int OpenAsItIs(const os::Folder& folder, const std::string& name) {
  const int fd = ::openat(static_cast<int>(folder.NativeHandle()), name.c_str(),
                          O_WRONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK | O_NOFOLLOW);
  const int status = fd >= 0 ? ::fcntl(fd, F_GETFL) : -1;
  if (status < 0 || ::fcntl(fd, F_SETFL, status & ~O_NONBLOCK) != 0) {
    if (fd >= 0) ::close(fd);
    return -1;
  }
  return fd;
}

}  // namespace

JsonFile::Stream::Stream(Stream&& other) noexcept
    : file_(std::move(other.file_)), offset_(other.offset_), fd_(other.fd_) {
  other.fd_ = -1;
}

JsonFile::Stream& JsonFile::Stream::operator=(Stream&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) ::close(fd_);
    file_ = std::move(other.file_);
    offset_ = other.offset_;
    fd_ = other.fd_;
    other.fd_ = -1;
  }
  return *this;
}

JsonFile::Stream::~Stream() {
  if (fd_ >= 0) ::close(fd_);
}

bool JsonFile::Stream::Write(std::string_view text, std::string& error) {
  if (fd_ >= 0) {
    if (WriteAll(fd_, text)) return true;
  } else if (file_.IsOpen() && file_.WriteAt(offset_, text.data(),
                                             static_cast<uint32_t>(text.size())) == text.size()) {
    offset_ += text.size();
    return true;
  }
  error = WhatFor(Use::Stream) + SystemError();
  return false;
}

bool JsonFile::Stream::Close(std::string& error) {
  bool closed = true;
  if (fd_ >= 0) {
    closed = ::close(fd_) == 0;
    fd_ = -1;
  } else if (file_.IsOpen()) {
    closed = file_.Flush();
    file_.Close();
  }
  if (!closed) error = WhatFor(Use::Stream) + SystemError();
  return closed;
}

std::optional<JsonFile> JsonFile::Prepare(const std::string& path, std::string& error, Use use) {
  JsonFile file;
  file.use_ = use;
  // Resolved once, as a place we write into: no folder on the way that
  // another user could change, no link that another user could have placed
  // (one at FILE itself included); then held, and everything made relative
  // to the folder held.
  os::PathRules rules;
  rules.forWriting = true;
  os::ResolvedParent resolved = os::ResolveParent(path, rules, true);
  if (!resolved.folder.IsOpen()) {
    error = std::string(WhatFor(use)) + resolved.refusal;
    return std::nullopt;
  }
  file.name_ = std::move(resolved.name);
  file.folder_ = std::make_shared<const os::Folder>(std::move(resolved.folder));
  const os::EntryInfo entry = file.folder_->Look(file.name_);
  switch (entry.kind) {
    case os::EntryInfo::Kind::Missing:
      break;
    case os::EntryInfo::Kind::Folder:
      error = "is a folder";
      return std::nullopt;
    case os::EntryInfo::Kind::Link:
      error = "is a symbolic link that belongs to another user; not followed";
      return std::nullopt;
    case os::EntryInfo::Kind::Other:
      // A pipe, a terminal, /dev/null: written into as it is.
      file.replace_ = false;
      return file;
    case os::EntryInfo::Kind::Unknown:
      error = SystemError();
      return std::nullopt;
    case os::EntryInfo::Kind::File: {
      if (!Trusted(entry.identity.owner) || (entry.identity.mode & (S_IWGRP | S_IWOTH)) != 0) {
        error = "another user can write to it; not replaced";
        return std::nullopt;
      }
      // A log is added to, whatever it holds.
      if (use == Use::Append) break;
      os::File existing =
          file.folder_->OpenFile(file.name_, os::Access::Read, os::Share::ReadWrite);
      if (!existing.IsOpen() || !HoldsJsonOrNothing(existing)) {
        error = "holds something other than JSON; not replaced";
        return std::nullopt;
      }
      file.mode_ = entry.identity.mode & 07777;
      break;
    }
  }
  // A file can be made beside it: the run that follows will be able to
  // leave its results.
  std::string probe;
  os::File made = CreateBeside(*file.folder_, file.name_, 0600, probe);
  if (!made.IsOpen()) {
    error = WhatFor(use) + SystemError();
    return std::nullopt;
  }
  made.Close();
  file.folder_->Remove(probe);
  return file;
}

bool JsonFile::Write(std::string_view text, std::string& error) const {
  if (!replace_) {
    // Never waits for a reader that is not there, and never follows a link
    // put at the name since.
    const int fd = OpenAsItIs(*folder_, name_);
    bool written = fd >= 0 && WriteAll(fd, text);
    if (!written) error = WhatFor(use_) + SystemError();
    if (fd >= 0 && ::close(fd) != 0 && written) {
      error = WhatFor(use_) + SystemError();
      written = false;
    }
    return written;
  }
  if (use_ == Use::Append) {
    // A log another user can write was refused by Prepare; one made here
    // is its owner's alone.
    const bool written = folder_->AppendToOwn(name_, std::string(text));
    if (!written) error = WhatFor(use_) + SystemError();
    return written;
  }
  std::string made;
  os::File file = CreateBeside(*folder_, name_, mode_.value_or(0666), made);
  if (!file.IsOpen()) {
    error = WhatFor(use_) + SystemError();
    return false;
  }
  // The permissions of the file it replaces, which the umask may have cut.
  bool written = (!mode_ || file.SetAttributes(os::FileAttributes{*mode_})) &&
                 file.WriteAt(0, text.data(), static_cast<uint32_t>(text.size())) == text.size() &&
                 file.Flush();
  file.Close();
  written = written && folder_->Rename(made, name_) && folder_->Flush();
  if (!written) {
    error = WhatFor(use_) + SystemError();
    folder_->Remove(made);
  }
  return written;
}

std::optional<JsonFile::Stream> JsonFile::OpenStream(std::string& error) const {
  Stream stream;
  if (!replace_) {
    stream.fd_ = OpenAsItIs(*folder_, name_);
    if (stream.fd_ < 0) {
      error = WhatFor(Use::Stream) + SystemError();
      return std::nullopt;
    }
    return stream;
  }
  // Made whole under a name of its own and put at FILE's name before the
  // first record, so that a reader that follows FILE sees every record.
  std::string made;
  stream.file_ = CreateBeside(*folder_, name_, mode_.value_or(0666), made);
  const bool ready = stream.file_.IsOpen() &&
                     (!mode_ || stream.file_.SetAttributes(os::FileAttributes{*mode_})) &&
                     folder_->Rename(made, name_) && folder_->Flush();
  if (!ready) {
    error = WhatFor(Use::Stream) + SystemError();
    if (stream.file_.IsOpen()) folder_->Remove(made);
    return std::nullopt;
  }
  return stream;
}

}  // namespace cli
