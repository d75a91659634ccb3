#include "tools/byte_access.h"

namespace specimen {

std::optional<uint16_t> ReadU16(const Bytes& bytes, uint64_t offset) {
  if (!InBounds(bytes, offset, 2)) return std::nullopt;
  const size_t at = static_cast<size_t>(offset);
  return static_cast<uint16_t>(bytes[at] | (bytes[at + 1] << 8));
}

std::optional<uint32_t> ReadU32(const Bytes& bytes, uint64_t offset) {
  if (!InBounds(bytes, offset, 4)) return std::nullopt;
  const size_t at = static_cast<size_t>(offset);
  uint32_t value = 0;
  for (size_t i = 4; i-- > 0;) value = (value << 8) | bytes[at + i];
  return value;
}

bool WriteU16(Bytes& bytes, uint64_t offset, uint16_t value) {
  if (!InBounds(bytes, offset, 2)) return false;
  const size_t at = static_cast<size_t>(offset);
  bytes[at] = static_cast<uint8_t>(value & 0xFF);
  bytes[at + 1] = static_cast<uint8_t>(value >> 8);
  return true;
}

bool WriteU32(Bytes& bytes, uint64_t offset, uint32_t value) {
  if (!InBounds(bytes, offset, 4)) return false;
  const size_t at = static_cast<size_t>(offset);
  for (size_t i = 0; i < 4; ++i) bytes[at + i] = static_cast<uint8_t>((value >> (8 * i)) & 0xFF);
  return true;
}

std::optional<std::string> ReadCString(const Bytes& bytes, uint64_t offset, size_t maxLength) {
  if (offset >= bytes.size()) return std::nullopt;
  std::string text;
  for (size_t at = static_cast<size_t>(offset); at < bytes.size() && text.size() < maxLength;
       ++at) {
    if (bytes[at] == 0) return text;
    text.push_back(static_cast<char>(bytes[at]));
  }
  return std::nullopt;
}

std::optional<uint32_t> AlignUp(uint64_t value, uint32_t alignment) {
  if (alignment == 0 || value > UINT32_MAX) return std::nullopt;
  const uint64_t rounded = (value + alignment - 1) / alignment * alignment;
  if (rounded > UINT32_MAX) return std::nullopt;
  return static_cast<uint32_t>(rounded);
}

}  // namespace specimen
