// Whole-file reads and writes for setting up and checking test files.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace test_support {

std::vector<uint8_t> ReadBytes(const std::string& path);
void WriteBytes(const std::string& path, const std::vector<uint8_t>& bytes);

uint32_t Le32At(const std::vector<uint8_t>& bytes, size_t offset);
void PutLe32(std::vector<uint8_t>& bytes, size_t offset, uint32_t value);

}  // namespace test_support
