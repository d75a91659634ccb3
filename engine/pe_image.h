// The engine's view of one open PE32 file: its NT headers, its section table
// with a pseudo-section for the headers, and reads by file offset. Each user
// holds a view of its own, so that any number of files are looked at at once;
// the file (any source of bytes) stays the caller's. Nothing is written
// through a view: a repair is planned through one and written as a whole
// (engine/repair_plan.h).
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "os/file.h"

namespace engine {

// Returned by RvaToFileOffset for an address outside every section.
inline constexpr uint32_t kNoFileOffset = 0xFFFFFFFFu;

// Offsets and sizes in the PE/COFF layout that the engine relies on.
namespace pe {
inline constexpr uint32_t kDosLfanewOffset = 60;
inline constexpr uint32_t kNtHeadersSize = 248;  // signature + file header + PE32 optional header
// A PE32+ (64-bit) image's optional header is 16 bytes longer, its section
// table that much further on.
inline constexpr uint32_t kNtHeadersSizePe32Plus = 264;
inline constexpr uint32_t kOptionalHeaderMagic = 24;
inline constexpr uint16_t kPe32PlusMagic = 0x20B;
inline constexpr uint32_t kSectionHeaderSize = 40;
inline constexpr uint32_t kSignature = 0x00004550;  // "PE\0\0"
inline constexpr uint16_t kMzMagic = 0x5A4D;        // "MZ"
// Offsets from the start of the NT headers.
inline constexpr uint32_t kNumberOfSections = 6;
inline constexpr uint32_t kAddressOfEntryPoint = 40;
inline constexpr uint32_t kSectionAlignment = 56;
inline constexpr uint32_t kFileAlignment = 60;
inline constexpr uint32_t kSizeOfHeaders = 84;
inline constexpr uint32_t kCheckSum = 88;
inline constexpr uint32_t kExportDirectoryRva = 120;
// Offsets inside a section header.
inline constexpr uint32_t kVirtualSize = 8;
inline constexpr uint32_t kVirtualAddress = 12;
inline constexpr uint32_t kSizeOfRawData = 16;
inline constexpr uint32_t kPointerToRawData = 20;
}  // namespace pe

inline uint16_t LoadLe16(const uint8_t* bytes) {
  return static_cast<uint16_t>(bytes[0] | (bytes[1] << 8));
}

inline uint32_t LoadLe32(const uint8_t* bytes) {
  return uint32_t{bytes[0]} | (uint32_t{bytes[1]} << 8) | (uint32_t{bytes[2]} << 16) |
         (uint32_t{bytes[3]} << 24);
}

inline void StoreLe32(uint8_t* bytes, uint32_t value) {
  for (int i = 0; i < 4; ++i) bytes[i] = static_cast<uint8_t>(value >> (8 * i));
}

struct SectionEntry {
  uint32_t virtualSize = 0;
  uint32_t virtualAddress = 0;
  uint32_t sizeOfRawData = 0;
  uint32_t pointerToRawData = 0;
};

class PeImage {
 public:
  // Makes `file` the current file and reads its headers and section table.
  // False when it is no PE32 image whose headers could be read whole.
  bool Open(os::ByteSource& file);
  // Drops the section map; the current file stays recorded.
  void Close();
  bool IsOpen() const { return open_; }

  uint32_t RvaToFileOffset(uint32_t rva) const;
  uint32_t EntryPointRva() const;
  uint32_t EntryPointFileOffset() const;
  uint32_t NtHeaderOffset() const { return ntOffset_; }
  uint16_t SectionCount() const { return sectionCount_; }
  // A 64-bit image: never infected by the 32-bit virus, and laid out
  // differently past the fields the view keeps, so never written to.
  bool IsPe32Plus() const { return pe32Plus_; }
  // Entry 0 stands for the headers; entries 1..SectionCount() are the table.
  const std::vector<SectionEntry>& Sections() const { return sections_; }

  // Exactly `length` bytes at `offset` of the current file, or false. Offsets
  // at 2 GiB or beyond (among them kNoFileOffset) are never positioned to.
  bool ReadAt(uint32_t offset, void* buffer, uint32_t length) const;
  // Up to `length` bytes at `offset`; the count read, 0 on any failure.
  uint32_t ReadUpTo(uint32_t offset, void* buffer, uint32_t length) const;

 private:
  os::ByteSource* file_ = nullptr;
  bool open_ = false;
  uint32_t ntOffset_ = 0;
  std::array<uint8_t, pe::kNtHeadersSize> ntHeaders_{};
  uint16_t sectionCount_ = 0;
  bool pe32Plus_ = false;
  std::vector<SectionEntry> sections_;
};

}  // namespace engine
