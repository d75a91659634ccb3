// The PE image checksum: computing it, and repairing the header's copy.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "os/file.h"
#include "os/image_checksum.h"

namespace engine {

struct ImageChecksum {
  uint32_t headerSum = 0;  // the CheckSum field the file holds (0 when it has no PE header)
  uint32_t trueSum = 0;    // the checksum of the file as it is
};

// Computes both sums the way the platform's image-checksum service does: the
// 16-bit folded sum of the file's little-endian words (a trailing odd byte
// counts as a word of its own), less the CheckSum field, plus the length.
std::optional<ImageChecksum> ComputeImageChecksum(os::ByteSource& file);

// A change to bytes of a file that is not made yet: `bytes` at `offset`.
struct BytePatch {
  uint64_t offset = 0;
  std::vector<uint8_t> bytes;
};

// The true checksum the file would have with `patches` applied and cut to
// `length` bytes (at most its size), with the CheckSum field at
// `fieldOffset` left out of the sum: what the header must then hold. Reads
// the file's first `length` bytes once; nullopt when they cannot be read.
std::optional<uint32_t> ChecksumAfter(os::ByteSource& file, uint64_t length,
                                      const std::vector<BytePatch>& patches, uint64_t fieldOffset);

// Makes the header's CheckSum match the file's contents: 1 when the header
// now holds the true sum or may keep what it holds, 0 when the sum cannot be
// obtained or written. A header sum of 0 stays 0 unless `setWhenZero`. The
// file must not be open for writing elsewhere.
bool RepairImageChecksum(const std::string& fileName, bool setWhenZero);

// The same, with the service that supplies the two sums given.
using ChecksumService = std::function<os::PlatformChecksum(const std::string& fileName)>;
bool RepairImageChecksum(const std::string& fileName, bool setWhenZero,
                         const ChecksumService& service);

// The service RepairImageChecksum uses by default: the platform's IMAGEHLP in
// the system directory, or our own computation where the platform has none.
os::PlatformChecksum SystemChecksumService(const std::string& fileName);

}  // namespace engine
