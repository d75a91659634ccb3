// Builds small, well-formed PE32 programs and libraries to serve as clean
// test specimens: headers, sections and, on request, an export directory.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace specimen {

struct SectionSpec {
  std::string name;              // at most 8 bytes
  uint32_t virtualSize = 0;      // stored as given: 0 makes a section that maps nothing
  uint32_t characteristics = 0;  // stored as given
  std::vector<uint8_t> data;     // raw data, padded with zeros to FileAlignment
};

// One exported function per name. The name pointer table lists the names in
// ascending byte order, as the format requires, but their ordinals run in the
// reverse order, so a lookup that confuses a name's index with its ordinal
// lands on the wrong slot. Each function has its own address: 16 bytes apart
// in the first code section whose virtual size holds them all, or else in a
// filler area of the export section that lies outside the export directory.
struct ExportSpec {
  std::string moduleName;
  std::vector<std::string> names;  // non-empty, distinct, no zero bytes
};

struct ImageSpec {
  // Laid out in this order: virtual addresses SectionAlignment-aligned from
  // the end of the headers, raw data FileAlignment-aligned.
  std::vector<SectionSpec> sections;
  // When set, the export directory and everything it points at (besides the
  // functions) goes into one extra section ".edata", placed after `sections`
  // and so always the last section of the table.
  std::optional<ExportSpec> exports;
  uint32_t entryRva = 0;  // 0 = the start of the first section
  bool dll = false;
  uint32_t checkSum = 0;  // stored as given; 0 means the image carries none
  uint32_t fileAlignment = 0x200;
  uint32_t sectionAlignment = 0x1000;
  uint32_t imageBase = 0x400000;
};

// The image file, or nullopt with a reason in `error` (when given) for a spec
// that cannot make a well-formed image: alignments that are not powers of two
// or a FileAlignment above the SectionAlignment, a name longer than 8 bytes,
// bad export names, or a layout that does not fit 32-bit addresses.
std::optional<std::vector<uint8_t>> BuildImage(const ImageSpec& spec, std::string* error);

}  // namespace specimen
