// Reading the first bytes of many files at once: each file is opened, its
// start read and the file closed again by the kernel through one io_uring
// submission for a whole batch, so that a batch costs one system call and its
// reads are all in flight together (cold caches: the disk serves them in
// parallel). What the prefix does not answer is read from the file itself.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>

#include "os/byte_source.h"
#include "os/directory.h"
#include "os/file.h"

namespace cli {

// The first kPrefixBytes of a file, or why there are none.
struct Prefix {
  static constexpr uint32_t kBytes = 4096;
  std::array<uint8_t, kBytes> bytes;
  int32_t got = -1;  // bytes read, or a negative error number
};

// A file named by an open folder and a name in it.
struct NamedFile {
  const os::Folder* folder = nullptr;
  const std::string* name = nullptr;
};

class PrefixReader {
 public:
  // At most kDepth files in one batch.
  static constexpr unsigned kDepth = 64;
  // nullptr where the system offers no io_uring (too old, or turned off).
  static std::unique_ptr<PrefixReader> Make();
  ~PrefixReader();
  PrefixReader(const PrefixReader&) = delete;
  PrefixReader& operator=(const PrefixReader&) = delete;

  // Fills prefixes[i] for files[i]; at most kDepth of them. False when the
  // ring failed: the reader is then of no more use, and the prefixes say
  // nothing (the files are read by themselves).
  bool Read(std::span<const NamedFile> files, std::span<Prefix> prefixes);

 private:
  struct Ring;
  explicit PrefixReader(std::unique_ptr<Ring> ring);
  std::unique_ptr<Ring> ring_;
  bool broken_ = false;
};

// A file's bytes from its prefix, and from the file itself (opened when first
// needed) beyond it. A prefix shorter than kBytes was the whole file.
class PrefixedFile final : public os::ByteSource {
 public:
  PrefixedFile(const Prefix& prefix, const NamedFile& file) : prefix_(prefix), file_(file) {}
  std::optional<uint32_t> ReadAt(uint64_t offset, void* buffer, uint32_t length) override;
  std::optional<uint64_t> Size() override;

 private:
  bool WholeFile() const { return prefix_.got >= 0 && uint32_t(prefix_.got) < Prefix::kBytes; }
  os::File* Opened();

  const Prefix& prefix_;
  NamedFile file_;
  std::optional<os::File> opened_;
};

}  // namespace cli
