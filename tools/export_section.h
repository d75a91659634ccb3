// The contents of the ".edata" section that the image builder adds.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "tools/byte_access.h"
#include "tools/specimen_image.h"

namespace specimen {

struct ExportSection {
  Bytes data;                  // the section's raw contents, unpadded
  uint32_t directorySize = 0;  // bytes from the start that the export data directory covers
};

// Lays out the directory, its three tables and its strings for a section
// that will sit at `sectionRva`. Functions get addresses 16 bytes apart from
// `codeRva` when given, else from a filler area after the directory.
std::optional<ExportSection> BuildExportSection(const ExportSpec& spec, uint32_t sectionRva,
                                                std::optional<uint32_t> codeRva,
                                                std::string* error);

// Bytes of room that the functions of `nameCount` exports take in code.
inline uint64_t ExportCodeSpan(size_t nameCount) { return uint64_t{16} * nameCount; }

}  // namespace specimen
