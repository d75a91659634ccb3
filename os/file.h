// The one way our code touches files: a handle opened with Win32's access,
// share and disposition rules, and positioned reads and writes on it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "os/byte_source.h"
#include "os/write_faults.h"

namespace os {

enum class Access { Read, ReadWrite };

// Who else may open the file while this handle is open. Enforced by Win32;
// POSIX has no such rule and ignores it.
enum class Share { None, Read, ReadWrite };

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
  // Asks the system to put everything written so far on the disk, and waits
  // until it has.
  bool Flush();

 private:
  friend class Folder;  // opens files by name within it
  static constexpr intptr_t kNone = -1;
  File(intptr_t handle, WriteFaults* faults) : handle_(handle), faults_(faults) {}
  // The platform's own write and cut, without the faults.
  std::optional<uint32_t> WriteAtNow(uint64_t offset, const void* buffer, uint32_t length);
  bool SetEndNow(uint64_t offset);
  bool FlushNow();

  intptr_t handle_ = kNone;  // a POSIX descriptor or a Win32 HANDLE
  WriteFaults* faults_ = nullptr;
};

}  // namespace os
