// The one way our code touches files: a handle opened with Win32's access,
// share and disposition rules, and positioned reads and writes on it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>

#include "os/byte_source.h"
#include "os/write_faults.h"

namespace os {

enum class Access { Read, ReadWrite };

// Who else may open the file while this handle is open. Enforced by Win32;
// POSIX has no such rule and ignores it.
enum class Share { None, Read, ReadWrite };

// What identifies an open file, and what the system says of it now: the
// same device and inode (Win32: volume serial number and file index) is the
// same file, whatever its name.
struct FileIdentity {
  uint64_t device = 0;
  uint64_t inode = 0;
  uint64_t size = 0;
  int64_t modified = 0;  // POSIX: nanoseconds since 1970; Win32: FILETIME
  uint32_t owner = 0;    // POSIX: the user id; Win32: see os/win32/owner.h
  uint32_t links = 1;
  uint32_t mode = 0;  // POSIX: type and permission bits; Win32: attribute bits
  bool SameFile(const FileIdentity& other) const {
    return device == other.device && inode == other.inode && owner == other.owner;
  }
};

// A file's attributes as the platform keeps them: Win32's attribute bits, or
// the POSIX permission bits. Written back, they restore the file exactly as
// it was.
struct FileAttributes {
  uint32_t bits = 0;
};

// `restored` without what would give the file more power than it had when
// `journaled` was taken (POSIX: set-user-ID, set-group-ID and sticky bits it
// did not have then).
FileAttributes WithoutNewPrivileges(FileAttributes restored, const FileIdentity& journaled);

// The attributes a journal puts back on a file that has `now`, when it had
// `journaled` before its change: only the read-only mark that the change
// itself took away comes back (POSIX: the write bits the file lacked then
// are taken away again; Win32: the read-only attribute is set again).
// Nothing is ever added, whatever the journal claims: a journal can take
// power away from a file, never give it.
FileAttributes AfterUndo(FileAttributes now, FileAttributes journaled);

enum class Disposition {
  OpenExisting,  // fail when the file does not exist
  OpenAlways,    // open it, or create it empty
  CreateNew,     // create it; fail when the name is taken
  CreateAlways,  // create it, or empty the file that has the name
};

class File final : public ByteSource {
 public:
  File() = default;
  ~File() override;
  File(File&& other) noexcept;
  File& operator=(File&& other) noexcept;
  File(const File&) = delete;
  File& operator=(const File&) = delete;

  // An unopened File when the platform refuses; never throws. Writes, cuts
  // and flushes through the File, and the creation of the file itself, go
  // through `faults` when one is given.
  static File Open(const std::string& path, Access access, Share share, Disposition disposition,
                   WriteFaults* faults = nullptr);

  bool IsOpen() const { return handle_ != kNone; }
  void Close();

  // Reads up to `length` bytes at `offset`; fewer only at the end of the file.
  // nullopt when the platform call fails or cannot position there.
  std::optional<uint32_t> ReadAt(uint64_t offset, void* buffer, uint32_t length) override;
  // Writes `length` bytes at `offset`; the count written, or nullopt.
  std::optional<uint32_t> WriteAt(uint64_t offset, const void* buffer, uint32_t length);
  // Sets the end of the file at `offset`, cutting or extending it.
  bool SetEnd(uint64_t offset);
  std::optional<uint64_t> Size() override;
  // Where the next bytes that the file holds lie at or after `offset` (the
  // end of the file when only a hole follows), so that a reader skips what
  // is not there; `offset` itself where the system does not say.
  uint64_t DataFrom(uint64_t offset);
  // What identifies the open file; nullopt when the system does not say.
  std::optional<FileIdentity> Identity() const;
  // What the system said of the file when it was opened, where the open
  // asked already (Folder::OpenToRead): the same as Identity() right after
  // the open, without asking again. Else Identity().
  std::optional<FileIdentity> IdentityWhenOpened() const;
  // Sets the attributes of the open file itself, never of whatever a name
  // leads to now (POSIX: fchmod; Win32, which has no such call on 9x: the
  // name it was opened by).
  bool SetAttributes(FileAttributes attributes, WriteFaults* faults = nullptr);
  std::optional<FileAttributes> Attributes() const;
  // An exclusive lock on the whole file, taken without waiting, and held
  // until the File is closed; another program's lock (flock, lockf, fcntl)
  // answers HeldElsewhere. Win32's share modes are its locks: Locked.
  enum class Lock { Locked, HeldElsewhere, Failed };
  Lock LockExclusive();
  // Asks the system to put everything written so far on the disk, and waits
  // until it has.
  bool Flush();
  // A path that leads to this open file itself, whatever its name leads to
  // now, for a library that opens files by path (POSIX: through the
  // process's descriptor folder, /proc/self/fd); empty where the system
  // offers none (Win32).
  std::string PathToItself() const;

 private:
  friend class Folder;  // opens files by name within it
  static constexpr intptr_t kNone = -1;
  File(intptr_t handle, WriteFaults* faults, std::string path = std::string())
      : handle_(handle), faults_(faults), path_(std::move(path)) {}
  File(intptr_t handle, const FileIdentity& opened) : handle_(handle), opened_(opened) {}
  // The platform's own write and cut, without the faults.
  std::optional<uint32_t> WriteAtNow(uint64_t offset, const void* buffer, uint32_t length);
  bool SetEndNow(uint64_t offset);
  bool FlushNow();
  bool SetAttributesNow(FileAttributes attributes);

  intptr_t handle_ = kNone;  // a POSIX descriptor or a Win32 HANDLE
  WriteFaults* faults_ = nullptr;
  std::string path_;                    // Win32: the name it was opened by; POSIX: empty
  std::optional<FileIdentity> opened_;  // IdentityWhenOpened, when known
};

}  // namespace os
