#include "inside/fat_volume.h"

#include <algorithm>
#include <array>
#include <unordered_set>

namespace inside {
namespace {

constexpr uint32_t kEntryBytes = 32;
// FAT allows no more entries in one directory; a longer one is damage.
constexpr uint64_t kMaxDirectoryBytes = 65536ull * kEntryBytes;
// Directories nest no deeper than this anywhere we look.
constexpr int kMaxDepth = 128;

uint16_t U16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }
uint32_t U32(const uint8_t* p) {
  return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

bool IsPowerOfTwo(uint32_t v) { return v != 0 && (v & (v - 1)) == 0; }

void AppendUtf8(std::string& out, uint32_t code) {
  if (code < 0x80) {
    out += static_cast<char>(code);
  } else if (code < 0x800) {
    out += static_cast<char>(0xC0 | code >> 6);
    out += static_cast<char>(0x80 | (code & 0x3F));
  } else if (code < 0x10000) {
    out += static_cast<char>(0xE0 | code >> 12);
    out += static_cast<char>(0x80 | (code >> 6 & 0x3F));
    out += static_cast<char>(0x80 | (code & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | code >> 18);
    out += static_cast<char>(0x80 | (code >> 12 & 0x3F));
    out += static_cast<char>(0x80 | (code >> 6 & 0x3F));
    out += static_cast<char>(0x80 | (code & 0x3F));
  }
}

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

// BASE.EXT from the 11 stored bytes; bytes past ASCII are taken as Latin-1.
std::string ShortName(const uint8_t* raw, uint8_t caseFlags, bool applyCase) {
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
      AppendUtf8(text, c);
    }
    return text;
  };
  std::string base = part(0, 8, (caseFlags & 0x08) != 0);
  std::string ext = part(8, 3, (caseFlags & 0x10) != 0);
  return ext.empty() ? base : base + "." + ext;
}

bool EqualsIgnoringAsciiCase(const std::string& a, const std::string& b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
    auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; };
    return lower(x) == lower(y);
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

uint64_t FatVolume::FatEntryOffset(uint32_t cluster, uint32_t copy) const {
  uint64_t base = geometry_.FatOffset(copy);
  switch (geometry_.type) {
    case FatType::Fat12:
      return base + cluster + cluster / 2;
    case FatType::Fat16:
      return base + uint64_t{cluster} * 2;
    case FatType::Fat32:
      return base + uint64_t{cluster} * 4;
  }
  return base;
}

std::optional<uint32_t> FatVolume::FatEntryValue(uint32_t cluster, uint32_t copy) {
  if (cluster > geometry_.clusterCount + 1 || copy >= geometry_.fatCount) return std::nullopt;
  std::array<uint8_t, 4> bytes{};
  uint32_t width = geometry_.type == FatType::Fat32 ? 4 : 2;
  if (!ReadFully(*image_, FatEntryOffset(cluster, copy), bytes.data(), width)) return std::nullopt;
  switch (geometry_.type) {
    case FatType::Fat12: {
      uint32_t v = U16(bytes.data());
      return (cluster & 1) != 0 ? v >> 4 : v & 0xFFF;
    }
    case FatType::Fat16:
      return U16(bytes.data());
    case FatType::Fat32:
      return U32(bytes.data()) & 0x0FFFFFFF;
  }
  return std::nullopt;
}

bool FatVolume::FileChain(uint32_t first, uint64_t size, std::vector<uint32_t>& clusters,
                          std::string& error) {
  clusters.clear();
  const uint64_t clusterBytes = geometry_.ClusterBytes();
  const uint64_t needed = (size + clusterBytes - 1) / clusterBytes;
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
  uint32_t cluster = first;
  std::unordered_set<uint32_t> seen;
  for (uint64_t i = 0; i < needed; ++i) {
    if (!geometry_.IsDataCluster(cluster)) {
      error = "its cluster chain leaves the volume or ends before its size";
      return false;
    }
    if (!seen.insert(cluster).second) {
      error = "its cluster chain loops";
      return false;
    }
    clusters.push_back(cluster);
    std::optional<uint32_t> next = FatEntryValue(cluster);
    if (!next) {
      error = "its FAT cannot be read";
      return false;
    }
    if (i + 1 == needed) {
      if (!geometry_.IsEndOfChain(*next)) {
        error = "its cluster chain is longer than its size";
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

bool FatVolume::ReadEntries(const std::vector<std::pair<uint64_t, uint64_t>>& spans,
                            std::vector<FatEntry>& entries, std::string& error) {
  entries.clear();
  std::vector<uint16_t> longName;
  int expected = 0;  // the next long-name part's number; 0: none under way
  uint8_t longSum = 0;
  bool valid = false;
  for (const auto& [offset, length] : spans) {
    std::vector<uint8_t> bytes(static_cast<size_t>(length));
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
      const bool hasLong =
          valid && expected == 0 && !longName.empty() && longSum == ShortNameChecksum(e);
      longName.resize(hasLong ? longName.size() : 0);
      FatEntry entry;
      entry.attributes = attributes;
      entry.shortName = ShortName(e, 0, false);
      entry.name = hasLong ? Utf16ToUtf8(longName) : ShortName(e, e[12], true);
      if (entry.name.empty()) entry.name = entry.shortName;
      entry.firstCluster = uint32_t{U16(e + 26)};
      if (geometry_.type == FatType::Fat32) entry.firstCluster |= uint32_t{U16(e + 20)} << 16;
      entry.size = U32(e + 28);
      entry.entryOffset = offset + at;
      longName.clear();
      expected = 0;
      valid = false;
      if (entry.IsVolumeLabel() || entry.shortName == "." || entry.shortName == "..") continue;
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
  std::vector<std::pair<uint64_t, uint64_t>> spans;
  for (uint32_t cluster : clusters) {
    spans.emplace_back(geometry_.ClusterOffset(cluster), geometry_.ClusterBytes());
  }
  return ReadEntries(spans, entries, error);
}

std::optional<FatEntry> FatVolume::Find(const std::string& path, std::string& error) {
  std::vector<std::string> names;
  for (size_t from = 0; from <= path.size();) {
    size_t end = path.find('/', from);
    if (end == std::string::npos) end = path.size();
    if (end > from) names.push_back(path.substr(from, end - from));
    from = end + 1;
  }
  if (names.empty() || names.size() > kMaxDepth) {
    error = "no such file in the image";
    return std::nullopt;
  }
  std::vector<FatEntry> entries;
  if (!ListRoot(entries, error)) return std::nullopt;
  for (size_t i = 0; i < names.size(); ++i) {
    const FatEntry* found = nullptr;
    int folded = 0;
    const FatEntry* foldedMatch = nullptr;
    for (const FatEntry& entry : entries) {
      if (entry.name == names[i]) {
        found = &entry;
        break;
      }
      if (EqualsIgnoringAsciiCase(entry.name, names[i])) {
        ++folded;
        foldedMatch = &entry;
      }
    }
    if (found == nullptr && folded == 1) found = foldedMatch;
    if (found == nullptr) {
      error = "no such file in the image";
      return std::nullopt;
    }
    FatEntry entry = *found;
    if (i + 1 == names.size()) return entry;
    if (!entry.IsDirectory()) {
      error = "no such file in the image";
      return std::nullopt;
    }
    if (!ListDirectory(entry, entries, error)) return std::nullopt;
  }
  return std::nullopt;
}

bool FatVolume::CheckOwnership(std::string& error) {
  std::vector<bool> owned(size_t{geometry_.clusterCount} + 2, false);
  auto own = [&](const std::vector<uint32_t>& clusters) {
    for (uint32_t c : clusters) {
      if (owned[c]) {
        error = "two files share a cluster";
        return false;
      }
      owned[c] = true;
    }
    return true;
  };
  std::vector<std::pair<FatEntry, int>> pending;  // directories to list, with their depth
  std::vector<FatEntry> entries;
  if (geometry_.type == FatType::Fat32) {
    std::vector<uint32_t> clusters;
    if (!DirectoryClusters(geometry_.rootCluster, clusters, error) || !own(clusters)) return false;
  }
  if (!ListRoot(entries, error)) return false;
  for (const FatEntry& e : entries) pending.emplace_back(e, 1);
  while (!pending.empty()) {
    auto [entry, depth] = pending.back();
    pending.pop_back();
    std::vector<uint32_t> clusters;
    if (entry.IsDirectory()) {
      if (depth > kMaxDepth) {
        error = "directories nest too deep";
        return false;
      }
      if (!DirectoryClusters(entry.firstCluster, clusters, error) || !own(clusters)) return false;
      if (!ListDirectory(entry, entries, error)) return false;
      for (const FatEntry& e : entries) pending.emplace_back(e, depth + 1);
    } else {
      if (!FileChain(entry.firstCluster, entry.size, clusters, error)) {
        error = entry.name + ": " + error;
        return false;
      }
      if (!own(clusters)) return false;
    }
  }
  return true;
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
    uint64_t at = offset + done;
    uint32_t piece =
        static_cast<uint32_t>(std::min<uint64_t>(total - done, clusterBytes - at % clusterBytes));
    if (!ReadFully(volume_->image(), ImageOffset(at), out + done, piece)) return std::nullopt;
    done += piece;
  }
  return total;
}

}  // namespace inside
