// A checked read of the parts of a PE32 file that the infector needs: the
// header fields it rewrites or consults and the section table.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "tools/byte_access.h"

namespace specimen {

struct SectionEntry {
  uint32_t headerOffset;  // file offset of this 40-byte section header
  uint32_t virtualSize;
  uint32_t virtualAddress;
  uint32_t sizeOfRawData;
  uint32_t pointerToRawData;
};

struct PeView {
  uint32_t ntOffset;  // e_lfanew
  uint32_t entryRva;
  uint32_t sectionAlignment;
  uint32_t sizeOfImage;
  uint32_t sizeOfHeaders;
  uint32_t exportRva;                  // 0 when the image has no export directory
  std::vector<SectionEntry> sections;  // table order
};

// Parses the headers, refusing (with a reason) anything that is not a PE32
// image with a 224-byte optional header and a section table inside the file.
std::optional<PeView> ReadPeView(const Bytes& file, std::string* error);

// The file offset for `rva`: an RVA below SizeOfHeaders maps to itself,
// otherwise the first section in table order whose [VirtualAddress,
// VirtualAddress + VirtualSize) holds it decides. Not checked against the
// file's length; nullopt when nothing covers the RVA.
std::optional<uint32_t> RvaToOffset(const PeView& view, uint32_t rva);

// RvaToOffset, and only when `length` bytes from there lie inside `file`.
std::optional<uint32_t> MapInFile(const PeView& view, const Bytes& file, uint32_t rva,
                                  uint64_t length);

}  // namespace specimen
