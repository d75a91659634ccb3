#include "tests/support/file_bytes.h"

#include <gtest/gtest.h>

#include "tools/file_bytes.h"

#include <algorithm>

namespace test_support {

std::vector<uint8_t> ReadBytes(const std::string& path) {
  std::optional<std::vector<uint8_t>> bytes = specimen::ReadFileBytes(path);
  EXPECT_TRUE(bytes.has_value()) << "cannot read " << path;
  return bytes.value_or(std::vector<uint8_t>{});
}

void WriteBytes(const std::string& path, const std::vector<uint8_t>& bytes) {
  EXPECT_TRUE(specimen::WriteFileBytes(path, bytes)) << "cannot write " << path;
}

uint32_t Le32At(const std::vector<uint8_t>& bytes, size_t offset) {
  EXPECT_LE(offset + 4, bytes.size());
  if (offset + 4 > bytes.size()) return 0;
  return uint32_t{bytes[offset]} | uint32_t{bytes[offset + 1]} << 8 |
         uint32_t{bytes[offset + 2]} << 16 | uint32_t{bytes[offset + 3]} << 24;
}

void PutLe32(std::vector<uint8_t>& bytes, size_t offset, uint32_t value) {
  ASSERT_LE(offset + 4, bytes.size());
  for (int i = 0; i < 4; ++i) bytes[offset + size_t(i)] = static_cast<uint8_t>(value >> (8 * i));
}

}  // namespace test_support
