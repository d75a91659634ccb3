#include "inside/zip_layout.h"

#include <algorithm>
#include <cstddef>

namespace inside {
namespace {

constexpr uint64_t kEndRecord = 22;
constexpr uint64_t kMaxComment = 65535;
constexpr uint64_t kLocator = 20;
constexpr uint64_t kEnd64 = 56;
constexpr uint64_t kCentralHeader = 46;
constexpr uint64_t kLocalHeader = 30;
// A central directory larger than this (a million entries and more) is not
// read: the limit on members stops such an archive anyway.
constexpr uint64_t kMaxDirectory = 64ull << 20;
constexpr uint64_t kBlock = 64 * 1024;
constexpr uint32_t kWide = 0xFFFFFFFF;
constexpr uint16_t kLengthAtEnd = 1 << 3;  // sizes in a descriptor after the data

uint16_t U16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }
uint32_t U32(const uint8_t* p) {
  return static_cast<uint32_t>(U16(p)) | uint32_t{U16(p + 2)} << 16;
}
uint64_t U64(const uint8_t* p) { return U32(p) | uint64_t{U32(p + 4)} << 32; }

bool Is(const uint8_t* p, uint8_t third, uint8_t fourth) {
  return p[0] == 'P' && p[1] == 'K' && p[2] == third && p[3] == fourth;
}

std::string At(uint64_t offset) { return "at offset " + std::to_string(offset); }

// The 64-bit values of a ZIP64 extra field (0x0001) for those of `wide`
// that hold 0xFFFFFFFF, in its order; false when the field is too short for
// them. `used`: the entry has such a field.
bool Widen(const uint8_t* extra, size_t extraSize, std::initializer_list<uint64_t*> wide,
           bool& used) {
  used = false;
  size_t at = 0;
  while (extraSize - at >= 4) {
    const uint16_t id = U16(&extra[at]);
    const size_t length = U16(&extra[at + 2]);
    at += 4;
    if (length > extraSize - at) return true;  // a field cut short: not ours to judge
    if (id == 0x0001) {
      used = true;
      size_t field = at;
      for (uint64_t* value : wide) {
        if (*value != kWide) continue;
        if (at + length - field < 8) return false;
        *value = U64(&extra[field]);
        field += 8;
      }
      return true;
    }
    at += length;
  }
  return true;
}

// One entry of the central directory.
struct Listed {
  uint64_t offset;  // of its local header, in the file
  uint64_t compressed;
  std::string name;
};

class Reader {
 public:
  Reader(const ReadExactly& read, uint64_t size, uint64_t maxEntries, ZipLayout& layout)
      : read_(read), size_(size), maxEntries_(maxEntries), layout_(layout) {}

  void Read() {
    uint8_t head[4];
    if (size_ < 4 || !read_(0, head, 4)) return;
    const bool startsAsZip = Is(head, 3, 4) || Is(head, 5, 6) || Is(head, 7, 8) ||
                             (head[0] == 'P' && head[1] == 'K' && head[2] == '0' && head[3] == '0');
    // A spanned archive's marker comes before its first entry.
    const uint64_t first = Is(head, 3, 4) || Is(head, 5, 6) ? 0 : 4;
    if (!FindEnd(startsAsZip)) {
      if (!startsAsZip) return;
      layout_.isZip = true;
      if (layout_.damage.empty()) {
        layout_.damage = "the end of its central directory is missing (is it cut short?)";
      }
      WalkWithoutDirectory(first);
      return;
    }
    layout_.isZip = true;
    if (!ReadDirectory()) return;
    layout_.hasDirectory = true;
    if (listed_.size() > maxEntries_) return;
    std::sort(listed_.begin(), listed_.end(),
              [](const Listed& a, const Listed& b) { return a.offset < b.offset; });
    // Entries hidden before the first listed one are looked for only where
    // the archive itself begins the file (not behind a program that
    // extracts it).
    WalkWithDirectory(startsAsZip ? first : listed_.empty() ? directoryStart_ : listed_[0].offset);
  }

 private:
  bool Damaged(std::string why) {
    if (layout_.damage.empty()) layout_.damage = std::move(why);
    return false;
  }

  // The end record: the last one in the file's final 64 KiB that ends it
  // (its comment reaching the file's end); in a file that begins as a ZIP,
  // the last whose comment ends within it.
  bool FindEnd(bool startsAsZip) {
    const uint64_t length = std::min(size_, kEndRecord + kMaxComment);
    if (length < kEndRecord) return false;
    std::vector<uint8_t> tail(length);
    const uint64_t tailAt = size_ - length;
    if (!read_(tailAt, tail.data(), length)) return Damaged("its end cannot be read");
    for (uint64_t i = length - kEndRecord + 1; i-- > 0;) {
      if (!Is(&tail[i], 5, 6)) continue;
      const uint64_t ends = i + kEndRecord + U16(&tail[i + 20]);
      if (ends == length || (startsAsZip && ends < length)) {
        return ParseEnd(&tail[i], tailAt + i);
      }
    }
    return false;
  }

  bool ParseEnd(const uint8_t* end, uint64_t endAt) {
    uint64_t disk = U16(end + 4);
    uint64_t directoryDisk = U16(end + 6);
    uint64_t count = U16(end + 10);
    uint64_t directorySize = U32(end + 12);
    uint64_t directoryOffset = U32(end + 16);
    uint64_t directoryEnd = endAt;
    if (count == 0xFFFF || directorySize == kWide || directoryOffset == kWide) {
      // ZIP64: a locator just before the end record, and the 64-bit end
      // record just before that.
      uint8_t locator[kLocator];
      uint8_t end64[kEnd64];
      if (endAt >= kLocator + kEnd64 && read_(endAt - kLocator, locator, kLocator) &&
          Is(locator, 6, 7) && read_(endAt - kLocator - kEnd64, end64, kEnd64) && Is(end64, 6, 6)) {
        disk = U32(end64 + 16);
        directoryDisk = U32(end64 + 20);
        count = U64(end64 + 32);
        directorySize = U64(end64 + 40);
        directoryOffset = U64(end64 + 48);
        directoryEnd = endAt - kLocator - kEnd64;
      }
    }
    if (disk != 0 || directoryDisk != 0) {
      return Damaged("it is one part of an archive split over several files");
    }
    if (directorySize > directoryEnd) {
      return Damaged("its central directory is larger than the archive");
    }
    directoryStart_ = directoryEnd - directorySize;
    if (directoryOffset > directoryStart_) {
      return Damaged("its central directory does not lie where its end record says");
    }
    // What lies before the archive (a program that extracts it) moves every
    // offset that the archive records by its length.
    prefix_ = directoryStart_ - directoryOffset;
    count_ = count;
    directorySize_ = directorySize;
    return true;
  }

  bool ReadDirectory() {
    if (directorySize_ > kMaxDirectory) {
      return Damaged("its central directory is larger than the limit of " +
                     std::to_string(kMaxDirectory >> 20) + " MiB: not read");
    }
    std::vector<uint8_t> directory(directorySize_);
    if (!read_(directoryStart_, directory.data(), directory.size())) {
      return Damaged("its central directory cannot be read");
    }
    uint64_t at = 0;
    while (at < directory.size()) {
      auto which = [this] { return "entry " + std::to_string(listed_.size() + 1); };
      if (listed_.size() >= count_) {
        return Damaged("its central directory holds more entries than its end record says");
      }
      if (directory.size() - at < kCentralHeader || !Is(&directory[at], 1, 2)) {
        return Damaged(which() + " of its central directory is damaged");
      }
      const uint8_t* h = &directory[at];
      const uint64_t nameLength = U16(h + 28);
      const uint64_t extraLength = U16(h + 30);
      const uint64_t commentLength = U16(h + 32);
      if (nameLength + extraLength + commentLength > directory.size() - at - kCentralHeader) {
        return Damaged(which() + " of its central directory runs past its end");
      }
      uint64_t size = U32(h + 24);
      uint64_t compressed = U32(h + 20);
      uint64_t offset = U32(h + 42);
      const uint8_t* name = h + kCentralHeader;
      bool wide = false;
      if (!Widen(name + nameLength, extraLength, {&size, &compressed, &offset}, wide)) {
        return Damaged(which() + " of its central directory has a damaged ZIP64 field");
      }
      if (offset > directoryStart_ - prefix_ || directoryStart_ - prefix_ - offset < kLocalHeader) {
        return Damaged(which() + " of its central directory points outside the archive");
      }
      listed_.push_back({offset + prefix_, compressed,
                         std::string(reinterpret_cast<const char*>(name), nameLength)});
      if (listed_.size() > maxEntries_) return true;
      at += kCentralHeader + nameLength + extraLength + commentLength;
    }
    if (listed_.size() != count_) {
      return Damaged("its central directory holds " + std::to_string(listed_.size()) +
                     " entries where its end record says " + std::to_string(count_));
    }
    return true;
  }

  // Local headers read through one block of the file at a time: ordinary
  // ZIPs of many small members then take one read for many headers.
  bool ReadHeaderBytes(uint64_t at, uint8_t* out, size_t length) {
    if (at < blockAt_ || at - blockAt_ > block_.size() ||
        length > block_.size() - (at - blockAt_)) {
      if (at > size_ || length > size_ - at) return false;
      block_.resize(static_cast<size_t>(std::max<uint64_t>(length, std::min(kBlock, size_ - at))));
      if (!read_(at, block_.data(), block_.size())) {
        block_.clear();
        return false;
      }
      blockAt_ = at;
    }
    std::copy_n(block_.data() + (at - blockAt_), length, out);
    return true;
  }

  // One local header at `at`, whose bytes must end by `limit`: its name,
  // where its data begins, its sizes and flags.
  struct Local {
    std::string name;
    uint64_t data = 0;
    uint64_t compressed = 0;
    uint16_t flags = 0;
    bool wide = false;
  };
  bool ReadLocal(uint64_t at, uint64_t limit, Local& local, bool& isHeader) {
    uint8_t h[kLocalHeader];
    isHeader = false;
    if (at > limit || limit - at < kLocalHeader || !ReadHeaderBytes(at, h, kLocalHeader) ||
        !Is(h, 3, 4)) {
      return false;
    }
    isHeader = true;
    const uint64_t nameLength = U16(h + 26);
    const uint64_t extraLength = U16(h + 28);
    if (nameLength + extraLength > limit - at - kLocalHeader) {
      return Damaged("the local entry " + At(at) + " runs past the archive's entries");
    }
    std::vector<uint8_t> rest(nameLength + extraLength);
    if (!ReadHeaderBytes(at + kLocalHeader, rest.data(), rest.size())) {
      return Damaged("the local entry " + At(at) + " cannot be read");
    }
    local.name.assign(reinterpret_cast<const char*>(rest.data()), nameLength);
    local.data = at + kLocalHeader + nameLength + extraLength;
    local.flags = U16(h + 6);
    uint64_t size = U32(h + 22);
    local.compressed = U32(h + 18);
    if (!Widen(rest.data() + nameLength, extraLength, {&size, &local.compressed}, local.wide)) {
      return Damaged("the local entry " + At(at) + " has a damaged ZIP64 field");
    }
    return true;
  }

  // Where the entry whose data begin at `data` and take `compressed` bytes
  // ends, with its descriptor; 0 when it would end past `limit`.
  uint64_t EndOf(const Local& local, uint64_t compressed, uint64_t limit) {
    if (local.data > limit || compressed > limit - local.data) return 0;
    uint64_t end = local.data + compressed;
    if ((local.flags & kLengthAtEnd) != 0) {
      uint8_t marker[4];
      if (limit - end >= 4 && ReadHeaderBytes(end, marker, 4) && Is(marker, 7, 8)) end += 4;
      const uint64_t length = local.wide ? 20 : 12;
      if (limit - end < length) return 0;
      end += length;
    }
    return end;
  }

  // Each local entry from `at` on, one after the other, up to the central
  // directory: those that it lists checked against it, the others kept.
  void WalkWithDirectory(uint64_t at) {
    size_t next = 0;  // the first listed entry not yet met
    uint64_t walked = 0;
    while (at < directoryStart_ && ++walked <= maxEntries_) {
      while (next < listed_.size() && listed_[next].offset < at) ++next;
      Local local;
      bool isHeader = false;
      if (!ReadLocal(at, directoryStart_, local, isHeader)) {
        if (!isHeader && next < listed_.size()) {
          Damaged("no local entry lies " + At(at) +
                  ", where its entries should follow one another");
        }
        return;
      }
      const bool isListed = next < listed_.size() && listed_[next].offset == at;
      if (isListed && listed_[next].name != local.name) {
        Damaged("the local entry " + At(at) + " is named otherwise in its central directory");
        return;
      }
      uint64_t end = 0;
      if (isListed) {
        end = EndOf(local, listed_[next].compressed, directoryStart_);
      } else if ((local.flags & kLengthAtEnd) != 0) {
        // Its length is known only to its decompressor: it ends by the next
        // listed entry at the latest.
        end = next < listed_.size() ? listed_[next].offset : directoryStart_;
      } else {
        end = EndOf(local, local.compressed, directoryStart_);
      }
      if (end == 0) {
        Damaged("the local entry " + At(at) + " runs into its central directory");
        return;
      }
      if (!isListed) layout_.unlisted.push_back({at, end, local.name});
      at = end;
    }
    while (next < listed_.size() && listed_[next].offset < at) ++next;
    if (next < listed_.size() && walked <= maxEntries_) {
      Damaged("its central directory lists an entry " + At(listed_[next].offset) +
              " where none is");
    }
  }

  // Each local entry from `at` on, in an archive without a central
  // directory: as far as their headers lead.
  void WalkWithoutDirectory(uint64_t at) {
    uint64_t walked = 0;
    while (at < size_ && ++walked <= maxEntries_) {
      Local local;
      bool isHeader = false;
      if (!ReadLocal(at, size_, local, isHeader)) return;
      const uint64_t end =
          (local.flags & kLengthAtEnd) != 0 ? 0 : EndOf(local, local.compressed, size_);
      layout_.unlisted.push_back({at, end == 0 ? size_ : end, local.name});
      if (end == 0) return;  // cut short, or its end known only to its decompressor
      at = end;
    }
  }

  const ReadExactly& read_;
  const uint64_t size_;
  const uint64_t maxEntries_;
  ZipLayout& layout_;
  uint64_t directoryStart_ = 0;
  uint64_t directorySize_ = 0;
  uint64_t prefix_ = 0;
  uint64_t count_ = 0;
  std::vector<Listed> listed_;
  std::vector<uint8_t> block_;
  uint64_t blockAt_ = 0;
};

}  // namespace

ZipLayout ReadZipLayout(const ReadExactly& read, uint64_t size, uint64_t maxEntries) {
  ZipLayout layout;
  Reader(read, size, maxEntries, layout).Read();
  return layout;
}

}  // namespace inside
