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
  // Neither a folder, a regular file nor a symbolic link: a pipe, a socket,
  // a device.
  bool isOther = false;
};

// What a folder holds under one name, without following a link there.
struct EntryInfo {
  enum class Kind { Missing, File, Folder, Link, Other, Unknown };
  Kind kind = Kind::Missing;
  FileIdentity identity;  // File, Folder, Link, Other
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
struct FolderKey {
  uint64_t device = 0;
  uint64_t inode = 0;
  std::string path;
  bool operator==(const FolderKey&) const = default;
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

  // The folder at `path` (relative to the current directory), reached by
  // the rules of os/resolve.h for a path we were given: links followed only
  // where no other user could have placed them. Unopened when it cannot be
  // opened for listing.
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
  // Its file `name`, opened for reading as OpenFile does (never through a
  // symbolic link, never waiting), from any thread; unopened when it cannot
  // be.
  File OpenToRead(const std::string& name) const;
  // What tells it from every other folder (FolderKey); nullopt when the
  // system does not tell it.
  std::optional<FolderKey> Key() const;
  // The POSIX descriptor, for a front end that hands it to the kernel
  // itself; -1 on Win32 and when not open.
  intptr_t NativeHandle() const;
  // Takes over a POSIX descriptor of a folder that the layer opened itself
  // (the resolver of os/resolve.h); -1 gives an unopened folder.
  static Folder Adopt(intptr_t handle);

  // --- Work on the folder's entries by name, relative to the folder held
  // open: whatever is renamed above it meanwhile, a name means this folder's
  // entry. A symbolic link at the name is never followed, and no open waits
  // (a pipe or device at the name is no regular file: unopened).

  // Its regular file `name`, opened as it is.
  File OpenFile(const std::string& name, Access access, Share share,
                WriteFaults* faults = nullptr) const;
  // A new regular file `name`, made only when nothing (not even a link) has
  // that name (POSIX: O_CREAT|O_EXCL|O_NOFOLLOW, with the permission bits
  // `mode` less the umask). Counts as a write on `faults`.
  File MakeNewFile(const std::string& name, uint32_t mode, WriteFaults* faults = nullptr) const;
  // Appends `bytes` to its file `name`, made anew (for its owner alone) when
  // missing, or an existing one only when it is ours: a regular file with one
  // name, owned by the running user or the superuser; and puts them on the
  // disk. Appends made at once by several threads never overwrite each
  // other (POSIX: one write to a file opened for appending; the Windows
  // program appends from one thread only).
  bool AppendToOwn(const std::string& name, const std::string& bytes,
                   WriteFaults* faults = nullptr) const;
  // Removes the entry `name` (a link itself, never its target).
  bool Remove(const std::string& name, WriteFaults* faults = nullptr) const;
  // Removes its file `name` that `held` holds open, and lets `held` go: on
  // POSIX removed first, so that no one meets the name unheld; Win32 removes
  // no file that is open, so there it is closed first.
  bool RemoveHeld(const std::string& name, File& held, WriteFaults* faults = nullptr) const;
  // Gives the entry `from` the name `to`, replacing an entry there.
  bool Rename(const std::string& from, const std::string& to, WriteFaults* faults = nullptr) const;
  // Puts the folder's entries on the disk as they now are (POSIX: its own
  // fsync; Win32 keeps no such state apart from its files).
  bool Flush(WriteFaults* faults = nullptr) const;
  // What the folder holds at `name`.
  EntryInfo Look(const std::string& name) const;
  // The folder's own identity (its owner and mode, among others).
  std::optional<FileIdentity> Identity() const;
  // Others than its owner may make, rename and remove entries in it
  // (POSIX: a group or world write bit; Win32: never said).
  bool WritableByOthers() const;
  // Makes a new subfolder `name`, for its owner alone (POSIX: mode 0700).
  bool MakeChild(const std::string& name) const;
  // Sets the folder's own permission bits (POSIX: fchmod on it).
  bool SetMode(uint32_t mode) const;

  // The folder that holds `path` and the name of `path` in it. With
  // `resolveLink`, a symbolic link at `path` itself is followed, so that the
  // name is the real file's (a link that the user named on purpose). Every
  // part is reached by the rules of os/resolve.h for a path we were given.
  // Unopened, with `name` empty, when there is no such folder or name.
  static Folder OpenParent(const std::string& path, bool resolveLink, std::string& name);

 private:
  std::unique_ptr<State> state_;
};

}  // namespace os
