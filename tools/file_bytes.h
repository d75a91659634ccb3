// Whole files as bytes, for the tools that make and check specimens.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace specimen {

// The file's bytes; nullopt when it cannot be read whole or passes 4 GiB.
std::optional<std::vector<uint8_t>> ReadFileBytes(const std::string& path);
// Writes `bytes` as the whole file; false when it could not.
bool WriteFileBytes(const std::string& path, const std::vector<uint8_t>& bytes);

}  // namespace specimen
