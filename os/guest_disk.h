// A virtual machine's disk as its guest sees it, whatever format the image
// file keeps it in: QEMU's block layer reads and writes the image (qemu-nbd,
// a child of ours on a Unix socket in a folder of our own, mode 0700), and we
// read and write the guest's bytes through libnbd. The server dies with us
// however we end (POSIX: PR_SET_PDEATHSIG), never probes a format (each
// layer's is given), and holds QEMU's own image locks, so that a disk that a
// running virtual machine holds is never written. POSIX only.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "os/byte_source.h"

namespace os {

// One layer of a disk: the image itself, then the file it backs onto (a
// qcow2 overlay's backing file), each with its QEMU driver name ("qcow2",
// "vpc", "vhdx", "vdi", "vmdk", "raw"), decided by the caller from the
// file's own marks. `path` leads to the open file itself
// (File::PathToItself) or, for a disk whose descriptor names further files
// (a VMDK's extents), to its name in a held folder (Folder::PathOf): QEMU
// opens that path.
struct GuestLayer {
  std::string path;
  std::string format;
};

struct GuestDiskSpec {
  std::vector<GuestLayer> layers;  // the top image first; only it is written
  bool writable = false;
  // Read even while another program (a running virtual machine) holds the
  // image's lock: read-only, for a scan that writes nothing.
  bool shareWithWriter = false;
  // qemu-nbd's path; found on PATH when empty.
  std::string server;
};

class GuestDisk final : public ByteSource {
 public:
  enum class Failure {
    None,
    InUse,        // another program (a running virtual machine) holds the image's lock
    NoServer,     // qemu-nbd cannot be started
    Refused,      // QEMU refused the image: `error` says why
    Unreachable,  // the server started but does not answer
  };

  // Starts the server on the disk and connects to it; null, with `failure`
  // and `error` (QEMU's own words, on one line) when it cannot be.
  static std::unique_ptr<GuestDisk> Open(const GuestDiskSpec& spec, Failure& failure,
                                         std::string& error);
  ~GuestDisk() override;
  GuestDisk(const GuestDisk&) = delete;
  GuestDisk& operator=(const GuestDisk&) = delete;

  std::optional<uint32_t> ReadAt(uint64_t offset, void* buffer, uint32_t length) override;
  std::optional<uint64_t> Size() override { return size_; }
  // Writes `length` bytes at the guest's `offset`; the count written, or
  // nullopt. Refused on a disk opened read-only.
  std::optional<uint32_t> WriteAt(uint64_t offset, const void* buffer, uint32_t length);
  // Waits until QEMU has put everything written on the disk (the image's
  // own metadata included).
  bool Flush();
  bool writable() const { return writable_; }
  // The server's process id, for tests that kill it.
  int64_t ServerId() const;

  struct State;  // the platform's own

 private:
  explicit GuestDisk(std::unique_ptr<State> state, uint64_t size, bool writable);
  std::unique_ptr<State> state_;
  uint64_t size_ = 0;
  bool writable_ = false;
};

}  // namespace os
