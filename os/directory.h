// Directory listing, the process's current directory, and open folders for a
// walk by handles.
#pragma once

#include "os/file.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace os {

struct DirectoryEntry {
  std::string longName;
  // The alternate 8.3 name; empty when the long name is itself a valid 8.3
  // name, and always empty on POSIX.
  std::string shortName;
  bool isDirectory = false;
  // A regular file. An entry that is neither (a device, a pipe, a symbolic
  // link on POSIX, which is never followed) is listed with both false.
  bool isFile = false;
};

// Lists a directory with the pattern "*.*", in the order the platform returns
// the entries ("." and ".." included where it lists them).
class DirectoryListing {
 public:
  struct State;  // each platform's own

  // The current directory's listing; an unopened listing when it cannot be
  // listed. A directory without a single entry (an empty drive root) is
  // listed, with no entries.
  static DirectoryListing OpenCurrent();
  ~DirectoryListing();
  DirectoryListing(DirectoryListing&& other) noexcept;
  DirectoryListing& operator=(DirectoryListing&& other) noexcept;
  DirectoryListing(const DirectoryListing&) = delete;
  DirectoryListing& operator=(const DirectoryListing&) = delete;

  bool IsOpen() const { return state_ != nullptr; }
  // The next entry, or false when there is none left or the listing failed.
  bool Next(DirectoryEntry& entry);
  // The listing ended on an error rather than after its last entry.
  bool Failed() const;

 private:
  friend class Folder;
  DirectoryListing() = default;
  std::unique_ptr<State> state_;
};

bool ChangeDirectory(const std::string& path);
// The current directory's full path; empty when it cannot be read.
std::string WorkingDirectory();

// What tells a folder from every other while it exists, so that a folder met
// again under another name (a link, a short name, other letter case) is
// known. POSIX: its device and inode. Win32, where 9x gives a folder no such
// number: its full path in short (8.3) form, upper-cased in the ANSI code
// page, as Windows compares names; the device is then 0.
struct FolderIdentity {
  uint64_t device = 0;
  uint64_t inode = 0;
  std::string path;
  bool operator==(const FolderIdentity&) const = default;
};

// An open folder, for a walk that goes by handles rather than by paths: its
// subfolders are opened through it and its files reached by their names
// alone once it is the current directory, so that neither the length of a
// path nor a folder moved while the walk is in it derails the walk. POSIX
// holds a descriptor; Win32 holds the folder's full path.
class Folder {
 public:
  struct State;  // each platform's own

  Folder();
  ~Folder();
  Folder(Folder&& other) noexcept;
  Folder& operator=(Folder&& other) noexcept;
  Folder(const Folder&) = delete;
  Folder& operator=(const Folder&) = delete;

  // The folder at `path` (relative to the current directory, following a
  // link there); unopened when it cannot be opened for listing.
  static Folder Open(const std::string& path);
  // The current directory, to come back to; it need not be listable.
  static Folder Current();

  bool IsOpen() const { return state_ != nullptr; }
  // Its subfolder `name`, never reached through a symbolic link.
  Folder OpenChild(const std::string& name) const;
  // Makes it the process's current directory; false when it cannot be
  // entered (no search permission).
  bool MakeCurrent() const;
  // Its entries.
  DirectoryListing List() const;
  // A path by which any thread reaches the entry `name` of this folder while
  // it is open, whatever the current directory (POSIX: through the process's
  // descriptor folder, /proc/self/fd; Win32: the folder's path and the name).
  // Empty when the system offers no such path.
  std::string PathOf(const std::string& name) const;
  // Its file `name`, opened for reading as File::Open would (following a
  // symbolic link there), from any thread; unopened when it cannot be.
  File OpenToRead(const std::string& name) const;
  // Its identity; nullopt when the system does not tell it.
  std::optional<FolderIdentity> Identity() const;
  // The POSIX descriptor, for a front end that hands it to the kernel
  // itself; -1 on Win32 and when not open.
  intptr_t NativeHandle() const;

 private:
  std::unique_ptr<State> state_;
};

}  // namespace os
