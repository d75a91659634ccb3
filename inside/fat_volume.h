// Our own reader of a FAT12, FAT16 or FAT32 file system inside a disk image:
// the boot sector and its BIOS parameter block, the copies of the FAT,
// cluster chains, directories with long names, and the MBR's partition
// entries. The cleaner writes inside an image only where this reader shows
// it may: every field read here is hostile, every offset is checked against
// the image, every chain is capped by the cluster count and by the size its
// file claims, and a loop is an error, never a hang.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "inside/codepage.h"
#include "os/byte_source.h"

namespace inside {

enum class FatType { Fat12, Fat16, Fat32 };

struct FatGeometry {
  FatType type = FatType::Fat12;
  uint64_t volumeOffset = 0;  // the boot sector's offset in the image
  uint32_t bytesPerSector = 0;
  uint32_t sectorsPerCluster = 0;
  uint32_t reservedSectors = 0;
  uint32_t fatCount = 0;
  uint32_t fatSectors = 0;      // of one copy
  uint32_t rootEntryCount = 0;  // FAT12/16: the fixed root directory's entries
  uint32_t rootCluster = 0;     // FAT32: the root directory's first cluster
  uint32_t fsInfoSector = 0;    // FAT32: 0 when none
  uint64_t totalSectors = 0;
  uint32_t clusterCount = 0;  // data clusters, numbered 2 to clusterCount + 1

  uint64_t ClusterBytes() const { return uint64_t{bytesPerSector} * sectorsPerCluster; }
  // Image offsets.
  uint64_t FatOffset(uint32_t copy) const;
  uint64_t RootDirectoryOffset() const;  // FAT12/16
  uint64_t DataOffset() const;
  uint64_t ClusterOffset(uint32_t cluster) const;  // a valid data cluster
  bool IsDataCluster(uint64_t cluster) const { return cluster >= 2 && cluster - 2 < clusterCount; }
  // The value that ends a chain, as the formatter writes it.
  uint32_t EndOfChain() const;
  bool IsEndOfChain(uint32_t value) const;
};

// One directory entry, with its long name where it has one. Its identity is
// where it lies and what it holds (`entryOffset`, `raw`), never its name:
// two entries may show the same name.
struct FatEntry {
  std::string name;       // the long name (UTF-8), else the short name as shown
  std::string shortName;  // BASE.EXT as stored, without padding, as shown
  uint8_t attributes = 0;
  uint32_t firstCluster = 0;
  uint32_t size = 0;
  uint64_t entryOffset = 0;       // image offset of the 32-byte short entry
  std::array<uint8_t, 32> raw{};  // the short entry's bytes as read
  bool IsDirectory() const { return (attributes & 0x10) != 0; }
  bool IsVolumeLabel() const { return (attributes & 0x08) != 0; }
};

// A primary partition of an MBR.
struct MbrPartition {
  int slot = 0;  // 1 to 4
  uint8_t type = 0;
  uint64_t offset = 0;  // bytes
  uint64_t length = 0;
};

// The primary partitions of the image's MBR, in slot order; none when sector
// 0 holds no partition table (a volume boot sector, or anything else). Each
// partition lies wholly inside the image.
std::vector<MbrPartition> ReadMbr(os::ByteSource& image);

class FatVolume {
 public:
  // The file system whose boot sector lies at `offset`; nullopt, with
  // `error` saying why, when it is no FAT volume or one that does not fit
  // the image.
  static std::optional<FatVolume> Open(os::ByteSource& image, uint64_t offset, std::string& error);

  const FatGeometry& geometry() const { return geometry_; }

  // The code page short names are shown in (437 unless told otherwise).
  void SetCodepage(const Codepage& codepage) { codepage_ = codepage; }

  // The value of `cluster`'s entry in the first FAT; nullopt when it cannot
  // be read. The FAT is read once, 64 Ki entries at a time, as far as it is
  // asked for, and kept.
  std::optional<uint32_t> FatEntryValue(uint32_t cluster);
  // After this run changed `cluster`'s entry in the image to `value`.
  void NoteFatEntry(uint32_t cluster, uint32_t value);
  // The image offset and width (2 bytes, the 12 bits' two bytes on FAT12, or
  // 4) of `cluster`'s entry in copy `copy`.
  uint64_t FatEntryOffset(uint32_t cluster, uint32_t copy) const;

  // The clusters of a file of `size` bytes starting at `first`: exactly as
  // many as its size needs, the last one ending the chain. False, with
  // `error`, for a chain that is cut, too long, loops, or leaves the volume.
  bool FileChain(uint32_t first, uint64_t size, std::vector<uint32_t>& clusters,
                 std::string& error);

  // The entries of the root directory or of a subdirectory, in the order
  // stored, without the "." and ".." of a subdirectory, deleted entries and
  // volume labels. Every other entry is there, whatever its name holds: a
  // long name that no file may have ("." or "..", a "/" or a control
  // character) is set aside for the short name.
  bool ListRoot(std::vector<FatEntry>& entries, std::string& error);
  bool ListDirectory(const FatEntry& directory, std::vector<FatEntry>& entries, std::string& error);

  // The entry that lies at `entryOffset` of the image as it is now; nullopt
  // when it cannot be read. Only the short entry's own bytes are decoded (no
  // long name).
  std::optional<FatEntry> EntryAt(uint64_t entryOffset);

  // The whole volume checked once before it is written: every copy of the
  // FAT agrees with the first (compared as it is read, a block at a time),
  // and every cluster that any file or directory holds is held once. False,
  // with `error`, when two chains share a cluster, a chain does not hold up,
  // or the copies disagree.
  bool CheckForRepair(std::string& error);
  bool CheckOwnership(std::string& error);
  bool FatCopiesAgree(std::string& error);

  os::ByteSource& image() { return *image_; }

 private:
  FatVolume(os::ByteSource& image, const FatGeometry& geometry);
  bool ReadEntries(const std::vector<std::pair<uint64_t, uint64_t>>& spans,
                   std::vector<FatEntry>& entries, std::string& error);
  bool DirectoryClusters(uint32_t first, std::vector<uint32_t>& clusters, std::string& error);
  FatEntry Decode(const uint8_t* bytes, uint64_t offset) const;
  // Follows the chain of a file of `size` bytes from `first`, calling
  // `visit` with each cluster (false from it ends the walk with false).
  template <typename Visit>
  bool WalkChain(uint32_t first, uint64_t size, std::string& error, Visit visit);
  // The decoded entries [first, first + count) of FAT copy `copy`.
  bool ReadFatValues(uint32_t copy, uint32_t first, uint32_t count, std::vector<uint8_t>& raw,
                     uint32_t* values);
  uint32_t* FatBlock(uint32_t index);
  bool MarkOwned(uint32_t cluster);

  os::ByteSource* image_;
  FatGeometry geometry_;
  Codepage codepage_ = Codepage::Default();
  // The first FAT as read so far, 64 Ki entries a block; bit 31 of an entry
  // marks its cluster as held while the volume is checked.
  std::vector<std::unique_ptr<uint32_t[]>> fat_;
  std::vector<uint8_t> fatRaw_;  // one block's bytes as read, reused
};

// A file inside a FAT volume read as bytes by its chain.
// Contiguous clusters are read in one go.
class FatFileSource final : public os::ByteSource {
 public:
  FatFileSource(FatVolume& volume, std::vector<uint32_t> clusters, uint32_t size)
      : volume_(&volume), clusters_(std::move(clusters)), size_(size) {}
  std::optional<uint32_t> ReadAt(uint64_t offset, void* buffer, uint32_t length) override;
  std::optional<uint64_t> Size() override { return size_; }

  // The image offset of file offset `offset` (< size).
  uint64_t ImageOffset(uint64_t offset) const;

 private:
  FatVolume* volume_;
  std::vector<uint32_t> clusters_;
  uint32_t size_;
};

// Reads exactly `length` bytes at `offset` of `source`.
bool ReadFully(os::ByteSource& source, uint64_t offset, void* buffer, uint64_t length);

}  // namespace inside
