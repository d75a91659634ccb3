#include "inside/fat_volume.h"

#include <algorithm>
#include <array>
#include <unordered_set>
#include <utility>

namespace inside {
namespace {

constexpr uint32_t kEntryBytes = 32;
// FAT allows no more entries in one directory; a longer one is damage.
constexpr uint64_t kMaxDirectoryBytes = 65536ull * kEntryBytes;
// Directories nest no deeper than this anywhere we look.
constexpr int kMaxDepth = 128;
// The first FAT is kept in blocks of this many entries, each read at once.
constexpr uint32_t kFatBlockShift = 16;
constexpr uint32_t kFatBlockEntries = 1u << kFatBlockShift;
// Bit 31 of a kept entry marks its cluster as held (no FAT value uses it).
constexpr uint32_t kOwnedBit = 0x80000000u;

uint16_t U16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }
uint32_t U32(const uint8_t* p) {
  return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

bool IsPowerOfTwo(uint32_t v) { return v != 0 && (v & (v - 1)) == 0; }

// UCS-2 (with surrogate pairs) up to its terminator, as UTF-8; a lone
// surrogate becomes U+FFFD.
std::string Utf16ToUtf8(const std::vector<uint16_t>& units) {
  std::string out;
  for (size_t i = 0; i < units.size(); ++i) {
    uint32_t u = units[i];
    if (u == 0) break;
    if (u >= 0xD800 && u < 0xDC00 && i + 1 < units.size() && units[i + 1] >= 0xDC00 &&
        units[i + 1] < 0xE000) {
      AppendUtf8(out, 0x10000 + ((u - 0xD800) << 10) + (units[i + 1] - 0xDC00u));
      ++i;
    } else if (u >= 0xD800 && u < 0xE000) {
      AppendUtf8(out, 0xFFFD);
    } else {
      AppendUtf8(out, u);
    }
  }
  return out;
}

uint8_t ShortNameChecksum(const uint8_t* name) {
  uint8_t sum = 0;
  for (int i = 0; i < 11; ++i) {
    sum = static_cast<uint8_t>(((sum & 1) << 7) + (sum >> 1) + name[i]);
  }
  return sum;
}

// BASE.EXT from the 11 stored bytes, in `codepage`; a lead byte 0x05 stands
// for 0xE5 (which marks a deleted entry when stored).
std::string ShortName(const uint8_t* raw, uint8_t caseFlags, bool applyCase,
                      const Codepage& codepage) {
  std::array<uint8_t, 11> name;
  std::copy(raw, raw + 11, name.begin());
  if (name[0] == 0x05) name[0] = 0xE5;
  auto part = [&](size_t from, size_t length, bool lower) {
    size_t end = from + length;
    while (end > from && name[end - 1] == ' ') --end;
    std::string text;
    for (size_t i = from; i < end; ++i) {
      uint8_t c = name[i];
      if (lower && applyCase && c >= 'A' && c <= 'Z') c = static_cast<uint8_t>(c + 32);
      codepage.AppendDecoded(text, c);
    }
    return text;
  };
  std::string base = part(0, 8, (caseFlags & 0x08) != 0);
  std::string ext = part(8, 3, (caseFlags & 0x10) != 0);
  return ext.empty() ? base : base + "." + ext;
}

// A long name no file may have: a path could not hold it, or it would name
// another object.
bool IsUnusableLongName(const std::string& name) {
  if (name.empty() || name == "." || name == "..") return true;
  return std::any_of(name.begin(), name.end(), [](char c) {
    return c == '/' || c == '\\' || static_cast<unsigned char>(c) < 0x20;
  });
}

}  // namespace

bool ReadFully(os::ByteSource& source, uint64_t offset, void* buffer, uint64_t length) {
  auto* out = static_cast<uint8_t*>(buffer);
  while (length > 0) {
    uint32_t chunk = static_cast<uint32_t>(std::min<uint64_t>(length, 1u << 20));
    std::optional<uint32_t> got = source.ReadAt(offset, out, chunk);
    if (!got || *got != chunk) return false;
    out += chunk;
    offset += chunk;
    length -= chunk;
  }
  return true;
}

// --- Geometry

uint64_t FatGeometry::FatOffset(uint32_t copy) const {
  return volumeOffset +
         (uint64_t{reservedSectors} + uint64_t{copy} * fatSectors) * uint64_t{bytesPerSector};
}

uint64_t FatGeometry::RootDirectoryOffset() const { return FatOffset(fatCount); }

uint64_t FatGeometry::DataOffset() const {
  uint64_t rootBytes = uint64_t{rootEntryCount} * kEntryBytes;
  uint64_t rootSectors = (rootBytes + bytesPerSector - 1) / bytesPerSector;
  return RootDirectoryOffset() + rootSectors * bytesPerSector;
}

uint64_t FatGeometry::ClusterOffset(uint32_t cluster) const {
  return DataOffset() + uint64_t{cluster - 2} * ClusterBytes();
}

uint32_t FatGeometry::EndOfChain() const {
  switch (type) {
    case FatType::Fat12:
      return 0xFFF;
    case FatType::Fat16:
      return 0xFFFF;
    case FatType::Fat32:
      return 0x0FFFFFFF;
  }
  return 0x0FFFFFFF;
}

bool FatGeometry::IsEndOfChain(uint32_t value) const {
  switch (type) {
    case FatType::Fat12:
      return value >= 0xFF8;
    case FatType::Fat16:
      return value >= 0xFFF8;
    case FatType::Fat32:
      return (value & 0x0FFFFFFF) >= 0x0FFFFFF8;
  }
  return false;
}

// --- MBR

std::vector<MbrPartition> ReadMbr(os::ByteSource& image) {
  std::vector<MbrPartition> partitions;
  std::array<uint8_t, 512> sector{};
  std::optional<uint64_t> size = image.Size();
  if (!size || !ReadFully(image, 0, sector.data(), sector.size())) return partitions;
  if (sector[510] != 0x55 || sector[511] != 0xAA) return partitions;
  // A volume boot sector also ends in 55 AA: one whose BPB reads as FAT is no
  // partition table.
  std::string ignored;
  if (FatVolume::Open(image, 0, ignored)) return partitions;
  for (int slot = 0; slot < 4; ++slot) {
    const uint8_t* e = sector.data() + 446 + 16 * slot;
    if (e[0] != 0x00 && e[0] != 0x80) return {};  // no partition table
    uint8_t type = e[4];
    uint64_t start = U32(e + 8);
    uint64_t count = U32(e + 12);
    if (type == 0 || count == 0) continue;
    uint64_t offset = start * 512;
    uint64_t length = count * 512;
    if (start == 0 || offset > *size || length > *size - offset) return {};
    partitions.push_back({slot + 1, type, offset, length});
  }
  return partitions;
}

// --- The volume

std::optional<FatVolume> FatVolume::Open(os::ByteSource& image, uint64_t offset,
                                         std::string& error) {
  std::array<uint8_t, 512> boot{};
  std::optional<uint64_t> imageSize = image.Size();
  if (!imageSize || !ReadFully(image, offset, boot.data(), boot.size())) {
    error = "its boot sector cannot be read";
    return std::nullopt;
  }
  if (boot[510] != 0x55 || boot[511] != 0xAA) {
    error = "no boot sector signature";
    return std::nullopt;
  }
  FatGeometry g;
  g.volumeOffset = offset;
  g.bytesPerSector = U16(&boot[11]);
  g.sectorsPerCluster = boot[13];
  g.reservedSectors = U16(&boot[14]);
  g.fatCount = boot[16];
  g.rootEntryCount = U16(&boot[17]);
  uint32_t total16 = U16(&boot[19]);
  uint32_t fat16 = U16(&boot[22]);
  uint32_t total32 = U32(&boot[32]);
  uint32_t fat32 = U32(&boot[36]);
  g.totalSectors = total16 != 0 ? total16 : total32;
  g.fatSectors = fat16 != 0 ? fat16 : fat32;
  if (g.bytesPerSector < 512 || g.bytesPerSector > 4096 || !IsPowerOfTwo(g.bytesPerSector) ||
      !IsPowerOfTwo(g.sectorsPerCluster) || g.reservedSectors == 0 || g.fatCount == 0 ||
      g.fatCount > 4 || g.fatSectors == 0 || g.totalSectors == 0) {
    error = "its BIOS parameter block is no FAT one";
    return std::nullopt;
  }
  uint64_t rootSectors =
      (uint64_t{g.rootEntryCount} * kEntryBytes + g.bytesPerSector - 1) / g.bytesPerSector;
  uint64_t metaSectors =
      uint64_t{g.reservedSectors} + uint64_t{g.fatCount} * g.fatSectors + rootSectors;
  if (metaSectors >= g.totalSectors) {
    error = "its FAT and root directory take more than the volume";
    return std::nullopt;
  }
  uint64_t clusters = (g.totalSectors - metaSectors) / g.sectorsPerCluster;
  if (clusters == 0 || clusters > 0x0FFFFFF5) {
    error = "its cluster count is out of range";
    return std::nullopt;
  }
  g.clusterCount = static_cast<uint32_t>(clusters);
  uint64_t bitsPerEntry = 0;
  if (clusters < 4085) {
    g.type = FatType::Fat12;
    bitsPerEntry = 12;
  } else if (clusters < 65525) {
    g.type = FatType::Fat16;
    bitsPerEntry = 16;
  } else {
    g.type = FatType::Fat32;
    bitsPerEntry = 32;
  }
  if (g.type == FatType::Fat32) {
    if (fat16 != 0 || g.rootEntryCount != 0) {
      error = "a FAT32 volume with a FAT16 root directory";
      return std::nullopt;
    }
    g.rootCluster = U32(&boot[44]);
    g.fsInfoSector = U16(&boot[48]);
    if (g.fsInfoSector >= g.reservedSectors) g.fsInfoSector = 0;
    if (!g.IsDataCluster(g.rootCluster)) {
      error = "its root directory lies outside the volume";
      return std::nullopt;
    }
  } else if (g.rootEntryCount == 0) {
    error = "no root directory";
    return std::nullopt;
  }
  // Each copy of the FAT must hold an entry for every cluster (and the 12-bit
  // entries' second byte).
  uint64_t fatBytes = uint64_t{g.fatSectors} * g.bytesPerSector;
  if (((clusters + 2) * bitsPerEntry + 7) / 8 + 1 > fatBytes) {
    error = "its FAT is too short for its clusters";
    return std::nullopt;
  }
  uint64_t volumeBytes = g.totalSectors * g.bytesPerSector;
  if (offset > *imageSize || volumeBytes > *imageSize - offset) {
    error = "the file system is larger than the image holding it";
    return std::nullopt;
  }
  return FatVolume(image, g);
}

FatVolume::FatVolume(os::ByteSource& image, const FatGeometry& geometry)
    : image_(&image), geometry_(geometry) {
  const uint64_t entries = uint64_t{geometry.clusterCount} + 2;
  fat_.resize(static_cast<size_t>((entries + kFatBlockEntries - 1) >> kFatBlockShift));
}

uint64_t FatVolume::FatEntryOffset(uint32_t cluster, uint32_t copy) const {
  uint64_t base = geometry_.FatOffset(copy);
  switch (geometry_.type) {
    case FatType::Fat12:
      return base + uint64_t{cluster} + cluster / 2;
    case FatType::Fat16:
      return base + uint64_t{cluster} * 2;
    case FatType::Fat32:
      return base + uint64_t{cluster} * 4;
  }
  return base;
}

bool FatVolume::ReadFatValues(uint32_t copy, uint32_t first, uint32_t count,
                              std::vector<uint8_t>& raw, uint32_t* values) {
  // `first` is a multiple of the block size, so a FAT12 pair starts on a byte.
  const uint64_t from = FatEntryOffset(first, copy);
  const uint64_t to = FatEntryOffset(first + count - 1, copy) + 2;  // inside the copy: Open
  const uint64_t width = geometry_.type == FatType::Fat32 ? 4 : 2;
  raw.resize(static_cast<size_t>(std::max(to, from + count * width) - from));
  if (!ReadFully(*image_, from, raw.data(), raw.size())) return false;
  for (uint32_t i = 0; i < count; ++i) {
    const uint32_t cluster = first + i;
    switch (geometry_.type) {
      case FatType::Fat12: {
        const uint32_t v = U16(&raw[FatEntryOffset(cluster, copy) - from]);
        values[i] = (cluster & 1) != 0 ? v >> 4 : v & 0xFFF;
        break;
      }
      case FatType::Fat16:
        values[i] = U16(&raw[size_t{i} * 2]);
        break;
      case FatType::Fat32:
        values[i] = U32(&raw[size_t{i} * 4]) & 0x0FFFFFFF;  // the top four bits are reserved
        break;
    }
  }
  return true;
}

uint32_t* FatVolume::FatBlock(uint32_t index) {
  if (fat_[index]) return fat_[index].get();
  const uint32_t first = index << kFatBlockShift;
  const uint32_t count = static_cast<uint32_t>(
      std::min<uint64_t>(kFatBlockEntries, uint64_t{geometry_.clusterCount} + 2 - first));
  // Not zeroed first: every entry is written by the decoding.
  std::unique_ptr<uint32_t[]> block(new uint32_t[count]);
  if (!ReadFatValues(0, first, count, fatRaw_, block.get())) return nullptr;
  fat_[index] = std::move(block);
  return fat_[index].get();
}

std::optional<uint32_t> FatVolume::FatEntryValue(uint32_t cluster) {
  if (cluster > geometry_.clusterCount + 1) return std::nullopt;
  const uint32_t* block = FatBlock(cluster >> kFatBlockShift);
  if (block == nullptr) return std::nullopt;
  return block[cluster & (kFatBlockEntries - 1)] & ~kOwnedBit;
}

void FatVolume::NoteFatEntry(uint32_t cluster, uint32_t value) {
  if (cluster > geometry_.clusterCount + 1) return;
  std::unique_ptr<uint32_t[]>& block = fat_[cluster >> kFatBlockShift];
  if (block) block[cluster & (kFatBlockEntries - 1)] = value & 0x0FFFFFFF;
}

bool FatVolume::MarkOwned(uint32_t cluster) {
  uint32_t& entry = fat_[cluster >> kFatBlockShift][cluster & (kFatBlockEntries - 1)];
  if ((entry & kOwnedBit) != 0) return false;
  entry |= kOwnedBit;
  return true;
}

template <typename Visit>
bool FatVolume::WalkChain(uint32_t first, uint64_t size, std::string& error, Visit visit) {
  const uint64_t clusterBytes = geometry_.ClusterBytes();
  const uint64_t needed = size / clusterBytes + (size % clusterBytes != 0 ? 1 : 0);
  if (needed == 0) {
    if (first != 0) {
      error = "an empty file holds clusters";
      return false;
    }
    return true;
  }
  if (needed > geometry_.clusterCount) {
    error = "its size is larger than the volume";
    return false;
  }
  if (!geometry_.IsDataCluster(first)) {
    error = "its first cluster lies outside the volume";
    return false;
  }
  // No set of clusters seen is needed: a chain that comes back to a cluster
  // goes round for ever and so never ends where the size says it must.
  uint32_t cluster = first;
  for (uint64_t i = 0; i < needed; ++i) {
    if (!geometry_.IsDataCluster(cluster)) {
      error = "its cluster chain leaves the volume or ends before its size";
      return false;
    }
    if (!visit(cluster)) return false;
    std::optional<uint32_t> next = FatEntryValue(cluster);
    if (!next) {
      error = "its FAT cannot be read";
      return false;
    }
    if (i + 1 == needed) {
      if (!geometry_.IsEndOfChain(*next)) {
        error = "its cluster chain is longer than its size, or loops";
        return false;
      }
    } else if (geometry_.IsEndOfChain(*next)) {
      error = "its cluster chain ends before its size";
      return false;
    }
    cluster = *next;
  }
  return true;
}

bool FatVolume::FileChain(uint32_t first, uint64_t size, std::vector<uint32_t>& clusters,
                          std::string& error) {
  clusters.clear();
  return WalkChain(first, size, error, [&](uint32_t cluster) {
    clusters.push_back(cluster);
    return true;
  });
}

bool FatVolume::DirectoryClusters(uint32_t first, std::vector<uint32_t>& clusters,
                                  std::string& error) {
  clusters.clear();
  const uint64_t cap =
      std::min<uint64_t>(geometry_.clusterCount, kMaxDirectoryBytes / geometry_.ClusterBytes() + 1);
  std::unordered_set<uint32_t> seen;
  uint32_t cluster = first;
  while (true) {
    if (!geometry_.IsDataCluster(cluster)) {
      error = "a directory's cluster chain leaves the volume";
      return false;
    }
    if (!seen.insert(cluster).second) {
      error = "a directory's cluster chain loops";
      return false;
    }
    if (clusters.size() >= cap) {
      error = "a directory is longer than FAT allows";
      return false;
    }
    clusters.push_back(cluster);
    std::optional<uint32_t> next = FatEntryValue(cluster);
    if (!next) {
      error = "its FAT cannot be read";
      return false;
    }
    if (geometry_.IsEndOfChain(*next)) return true;
    cluster = *next;
  }
}

FatEntry FatVolume::Decode(const uint8_t* e, uint64_t offset) const {
  FatEntry entry;
  std::copy(e, e + kEntryBytes, entry.raw.begin());
  entry.attributes = e[11];
  entry.shortName = ShortName(e, 0, false, codepage_);
  entry.name = ShortName(e, e[12], true, codepage_);
  entry.firstCluster = uint32_t{U16(e + 26)};
  if (geometry_.type == FatType::Fat32) entry.firstCluster |= uint32_t{U16(e + 20)} << 16;
  entry.size = U32(e + 28);
  entry.entryOffset = offset;
  return entry;
}

bool FatVolume::ReadEntries(const std::vector<std::pair<uint64_t, uint64_t>>& spans,
                            std::vector<FatEntry>& entries, std::string& error) {
  entries.clear();
  std::vector<uint16_t> longName;
  int expected = 0;  // the next long-name part's number; 0: none under way
  uint8_t longSum = 0;
  bool valid = false;
  std::vector<uint8_t> bytes;
  for (const auto& [offset, length] : spans) {
    bytes.resize(static_cast<size_t>(length));
    if (!ReadFully(*image_, offset, bytes.data(), length)) {
      error = "a directory cannot be read";
      return false;
    }
    for (size_t at = 0; at + kEntryBytes <= bytes.size(); at += kEntryBytes) {
      const uint8_t* e = bytes.data() + at;
      if (e[0] == 0x00) return true;  // the end of the directory
      if (e[0] == 0xE5) {
        expected = 0;
        continue;
      }
      const uint8_t attributes = e[11];
      if ((attributes & 0x3F) == 0x0F) {
        const int order = e[0] & 0x3F;
        if ((e[0] & 0x40) != 0) {
          longName.assign(static_cast<size_t>(order) * 13, 0xFFFF);
          expected = order;
          longSum = e[13];
          valid = order >= 1 && order <= 20;
        } else if (order != expected || e[13] != longSum) {
          valid = false;
        }
        if (valid && order == expected && order >= 1) {
          static constexpr int kOffsets[13] = {1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30};
          for (int k = 0; k < 13; ++k) {
            longName[static_cast<size_t>((order - 1) * 13 + k)] = U16(e + kOffsets[k]);
          }
          expected = order - 1;
        }
        continue;
      }
      // A long name counts only when its parts came in order and its
      // checksum is this short name's: a stale one left by an old rename
      // belongs to no entry.
      const bool hasLong =
          valid && expected == 0 && !longName.empty() && longSum == ShortNameChecksum(e);
      FatEntry entry = Decode(e, offset + at);
      if (hasLong) {
        std::string name = Utf16ToUtf8(longName);
        if (!IsUnusableLongName(name)) entry.name = std::move(name);
      }
      if (entry.name.empty()) entry.name = entry.shortName;
      longName.clear();
      expected = 0;
      valid = false;
      const bool dotEntry = entry.IsDirectory() && (std::equal(e, e + 11, ".          ") ||
                                                    std::equal(e, e + 11, "..         "));
      if (entry.IsVolumeLabel() || dotEntry) continue;
      entries.push_back(std::move(entry));
    }
  }
  return true;
}

bool FatVolume::ListRoot(std::vector<FatEntry>& entries, std::string& error) {
  if (geometry_.type != FatType::Fat32) {
    return ReadEntries(
        {{geometry_.RootDirectoryOffset(), uint64_t{geometry_.rootEntryCount} * kEntryBytes}},
        entries, error);
  }
  FatEntry root;
  root.attributes = 0x10;
  root.firstCluster = geometry_.rootCluster;
  return ListDirectory(root, entries, error);
}

bool FatVolume::ListDirectory(const FatEntry& directory, std::vector<FatEntry>& entries,
                              std::string& error) {
  std::vector<uint32_t> clusters;
  if (!DirectoryClusters(directory.firstCluster, clusters, error)) return false;
  // Clusters that lie side by side are read as one span.
  std::vector<std::pair<uint64_t, uint64_t>> spans;
  for (size_t i = 0; i < clusters.size(); ++i) {
    if (i > 0 && clusters[i] == clusters[i - 1] + 1) {
      spans.back().second += geometry_.ClusterBytes();
    } else {
      spans.emplace_back(geometry_.ClusterOffset(clusters[i]), geometry_.ClusterBytes());
    }
  }
  return ReadEntries(spans, entries, error);
}

std::optional<FatEntry> FatVolume::EntryAt(uint64_t entryOffset) {
  std::array<uint8_t, kEntryBytes> bytes{};
  if (!ReadFully(*image_, entryOffset, bytes.data(), bytes.size())) return std::nullopt;
  return Decode(bytes.data(), entryOffset);
}

bool FatVolume::FatCopiesAgree(std::string& error) {
  const uint32_t entries = geometry_.clusterCount + 2;
  std::vector<uint8_t> raw;  // not fatRaw_: FatBlock reads into that meanwhile
  std::vector<uint32_t> values(std::min(entries, kFatBlockEntries));
  for (uint32_t copy = 1; copy < geometry_.fatCount; ++copy) {
    for (uint32_t index = 0; index < fat_.size(); ++index) {
      const uint32_t first = index << kFatBlockShift;
      const uint32_t count = std::min(kFatBlockEntries, entries - first);
      const uint32_t* kept = FatBlock(index);
      if (kept == nullptr || !ReadFatValues(copy, first, count, raw, values.data())) {
        error = "its FAT cannot be read";
        return false;
      }
      for (uint32_t i = 0; i < count; ++i) {
        if ((kept[i] & ~kOwnedBit) != values[i]) {
          error = "its FATs disagree";
          return false;
        }
      }
    }
  }
  return true;
}

bool FatVolume::CheckOwnership(std::string& error) {
  // The whole first FAT, each mark cleared from any earlier check.
  for (uint32_t index = 0; index < fat_.size(); ++index) {
    uint32_t* block = FatBlock(index);
    if (block == nullptr) {
      error = "its FAT cannot be read";
      return false;
    }
    const uint32_t count = std::min<uint32_t>(
        kFatBlockEntries, geometry_.clusterCount + 2 - (index << kFatBlockShift));
    for (uint32_t i = 0; i < count; ++i) block[i] &= ~kOwnedBit;
  }
  auto own = [&](uint32_t cluster) {
    if (MarkOwned(cluster)) return true;
    error = "two files share a cluster";
    return false;
  };
  auto ownAll = [&](const std::vector<uint32_t>& clusters) {
    return std::all_of(clusters.begin(), clusters.end(), own);
  };
  std::vector<std::pair<FatEntry, int>> pending;  // directories to list, with their depth
  std::vector<FatEntry> entries;
  std::vector<uint32_t> clusters;
  auto take = [&](int depth) {
    for (FatEntry& e : entries) {
      if (e.IsDirectory()) {
        pending.emplace_back(std::move(e), depth);
      } else if (!WalkChain(e.firstCluster, e.size, error, own)) {
        if (error != "two files share a cluster") error = e.name + ": " + error;
        return false;
      }
    }
    return true;
  };
  if (geometry_.type == FatType::Fat32) {
    if (!DirectoryClusters(geometry_.rootCluster, clusters, error) || !ownAll(clusters)) {
      return false;
    }
  }
  if (!ListRoot(entries, error) || !take(1)) return false;
  while (!pending.empty()) {
    auto [entry, depth] = std::move(pending.back());
    pending.pop_back();
    if (depth > kMaxDepth) {
      error = "directories nest too deep";
      return false;
    }
    if (!DirectoryClusters(entry.firstCluster, clusters, error)) return false;
    if (!ownAll(clusters)) {
      error = "a directory met twice: a directory loop, or one directory listed in two places";
      return false;
    }
    if (!ListDirectory(entry, entries, error) || !take(depth + 1)) return false;
  }
  return true;
}

bool FatVolume::CheckForRepair(std::string& error) {
  return FatCopiesAgree(error) && CheckOwnership(error);
}

// --- A file's bytes

uint64_t FatFileSource::ImageOffset(uint64_t offset) const {
  const uint64_t clusterBytes = volume_->geometry().ClusterBytes();
  return volume_->geometry().ClusterOffset(clusters_[static_cast<size_t>(offset / clusterBytes)]) +
         offset % clusterBytes;
}

std::optional<uint32_t> FatFileSource::ReadAt(uint64_t offset, void* buffer, uint32_t length) {
  if (offset >= size_) return 0;
  const uint64_t clusterBytes = volume_->geometry().ClusterBytes();
  uint32_t total = static_cast<uint32_t>(std::min<uint64_t>(length, size_ - offset));
  auto* out = static_cast<uint8_t*>(buffer);
  uint32_t done = 0;
  while (done < total) {
    const uint64_t at = offset + done;
    size_t index = static_cast<size_t>(at / clusterBytes);
    uint64_t piece = clusterBytes - at % clusterBytes;
    // As far on as the following clusters lie side by side.
    while (piece < total - done && index + 1 < clusters_.size() &&
           clusters_[index + 1] == clusters_[index] + 1) {
      piece += clusterBytes;
      ++index;
    }
    piece = std::min<uint64_t>(piece, total - done);
    if (!ReadFully(volume_->image(), ImageOffset(at), out + done, piece)) return std::nullopt;
    done += static_cast<uint32_t>(piece);
  }
  return total;
}

}  // namespace inside
