#include "engine/checksum.h"

#include <algorithm>
#include <vector>

#include "engine/pe_image.h"
#include "os/system.h"

namespace engine {
namespace {

constexpr uint32_t kChunk = 1u << 16;  // a multiple of 4, so dwords never straddle chunks

// The file offset of the CheckSum field, when the file has a PE header that
// holds it whole.
std::optional<uint64_t> CheckSumFieldOffset(os::ByteSource& file, uint64_t size) {
  uint8_t bytes[4];
  if (size < 64 || file.ReadAt(0, bytes, 2) != 2u || LoadLe16(bytes) != pe::kMzMagic ||
      file.ReadAt(pe::kDosLfanewOffset, bytes, 4) != 4u) {
    return std::nullopt;
  }
  uint64_t ntOffset = LoadLe32(bytes);
  if (ntOffset + pe::kCheckSum + 4 > size || file.ReadAt(ntOffset, bytes, 4) != 4u ||
      LoadLe32(bytes) != pe::kSignature) {
    return std::nullopt;
  }
  return ntOffset + pe::kCheckSum;
}

// The 16-bit folded value of a sum of dwords: a dword is two words, low +
// 0x10000 * high, and 0x10000 is 1 modulo 0xFFFF, so summing dwords gives the
// same folded value as summing words. Folding once at the end gives the same
// value as folding after every word: the value in 1..0xFFFF congruent to the
// total modulo 0xFFFF (or 0 for an all-zero file).
uint32_t Fold(uint64_t total) {
  while (total > 0xFFFF) total = (total & 0xFFFF) + (total >> 16);
  return static_cast<uint32_t>(total);
}

// Adds the dwords of `count` bytes, a multiple of 4.
uint64_t SumDwords(const uint8_t* bytes, uint32_t count) {
  uint64_t total = 0;
  for (uint32_t i = 0; i < count; i += 4) total += LoadLe32(bytes + i);
  return total;
}

// Subtracts a 16-bit word from a folded 16-bit sum with end-around borrow.
uint32_t SubtractFolded(uint32_t sum, uint32_t word) {
  sum -= sum < word ? 1u : 0u;
  return (sum - word) & 0xFFFFu;
}

}  // namespace

std::optional<ImageChecksum> ComputeImageChecksum(os::ByteSource& file) {
  std::optional<uint64_t> size = file.Size();
  if (!size) return std::nullopt;
  std::vector<uint8_t> chunk(kChunk + 4);
  uint64_t total = 0;
  for (uint64_t offset = 0; offset < *size;) {
    std::optional<uint32_t> got = file.ReadAt(offset, chunk.data(), kChunk);
    if (!got || *got == 0) return std::nullopt;
    uint32_t count = *got;
    if (count % 4 != 0) {
      if (offset + count != *size) return std::nullopt;  // only the file's end is ragged
      while (count % 4 != 0) chunk[count++] = 0;
    }
    total += SumDwords(chunk.data(), count);
    offset += *got;
  }

  ImageChecksum sums;
  uint32_t folded = Fold(total);
  if (std::optional<uint64_t> field = CheckSumFieldOffset(file, *size)) {
    uint8_t bytes[4];
    if (file.ReadAt(*field, bytes, 4) != 4u) return std::nullopt;
    sums.headerSum = LoadLe32(bytes);
    folded = SubtractFolded(folded, sums.headerSum & 0xFFFF);
    folded = SubtractFolded(folded, sums.headerSum >> 16);
  }
  sums.trueSum = folded + static_cast<uint32_t>(*size);
  return sums;
}

std::optional<uint32_t> ChecksumAfter(os::ByteSource& file, uint64_t length,
                                      const std::vector<BytePatch>& patches, uint64_t fieldOffset) {
  std::optional<uint64_t> size = file.Size();
  if (!size || length > *size) return std::nullopt;
  std::vector<uint8_t> chunk(kChunk + 4);
  uint64_t total = 0;
  for (uint64_t offset = 0; offset < length;) {
    uint32_t want = static_cast<uint32_t>(std::min<uint64_t>(kChunk, length - offset));
    std::optional<uint32_t> got = file.ReadAt(offset, chunk.data(), want);
    if (!got || *got != want) return std::nullopt;
    // The bytes as they will be: each patch's part inside this chunk, and
    // the CheckSum field as zero, which leaves it out of the sum.
    auto overlay = [&](uint64_t at, const uint8_t* bytes, size_t count) {
      for (size_t i = 0; i < count; ++i) {
        if (at + i >= offset && at + i - offset < want) {
          chunk[static_cast<size_t>(at + i - offset)] = bytes[i];
        }
      }
    };
    for (const BytePatch& patch : patches)
      overlay(patch.offset, patch.bytes.data(), patch.bytes.size());
    const uint8_t zero[4] = {0, 0, 0, 0};
    overlay(fieldOffset, zero, sizeof zero);
    uint32_t count = want;
    while (count % 4 != 0) chunk[count++] = 0;  // only the last chunk is ragged
    total += SumDwords(chunk.data(), count);
    offset += want;
  }
  return Fold(total) + static_cast<uint32_t>(length);
}

os::PlatformChecksum SystemChecksumService(const std::string& fileName) {
  std::string directory = os::SystemDirectory();
  os::PlatformChecksum result;
  if (!directory.empty()) {
    result = os::MapFileAndCheckSum(directory + "\\IMAGEHLP.DLL", fileName);
    if (result.status != os::PlatformChecksum::Status::Unavailable) return result;
  }
  result = {};
  os::File file = os::File::Open(fileName, os::Access::Read, os::Share::ReadWrite,
                                 os::Disposition::OpenExisting);
  if (!file.IsOpen()) return result;
  if (std::optional<ImageChecksum> sums = ComputeImageChecksum(file)) {
    result.status = os::PlatformChecksum::Status::Done;
    result.headerSum = sums->headerSum;
    result.trueSum = sums->trueSum;
  }
  return result;
}

bool RepairImageChecksum(const std::string& fileName, bool setWhenZero) {
  return RepairImageChecksum(fileName, setWhenZero, SystemChecksumService);
}

bool RepairImageChecksum(const std::string& fileName, bool setWhenZero,
                         const ChecksumService& service) {
  os::PlatformChecksum sums = service(fileName);
  if (sums.status != os::PlatformChecksum::Status::Done) return false;
  if (sums.headerSum == sums.trueSum) return true;
  if (sums.headerSum == 0 && !setWhenZero) return true;  // a file without a checksum keeps none

  os::File file = os::File::Open(fileName, os::Access::ReadWrite, os::Share::Read,
                                 os::Disposition::OpenExisting);
  if (!file.IsOpen()) return false;
  uint8_t bytes[4];
  if (file.ReadAt(pe::kDosLfanewOffset, bytes, 4) != 4u) return false;
  uint64_t ntOffset = LoadLe32(bytes);
  if (file.ReadAt(ntOffset, bytes, 4) != 4u || LoadLe32(bytes) != pe::kSignature) return false;
  StoreLe32(bytes, sums.trueSum);
  return file.WriteAt(ntOffset + pe::kCheckSum, bytes, 4) == 4u;
}

}  // namespace engine
