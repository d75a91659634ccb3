// Bounds-checked little-endian access to a file image held in memory. Every
// offset here may come from the file itself, so nothing is read or written
// unless the whole field lies inside the buffer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace specimen {

using Bytes = std::vector<uint8_t>;

// True when [offset, offset + length) lies inside `bytes`; cannot wrap.
inline bool InBounds(const Bytes& bytes, uint64_t offset, uint64_t length) {
  const uint64_t size = bytes.size();
  return offset <= size && length <= size - offset;
}

std::optional<uint16_t> ReadU16(const Bytes& bytes, uint64_t offset);
std::optional<uint32_t> ReadU32(const Bytes& bytes, uint64_t offset);
bool WriteU16(Bytes& bytes, uint64_t offset, uint16_t value);
bool WriteU32(Bytes& bytes, uint64_t offset, uint32_t value);

// The zero-terminated string at `offset`, without its terminator; nullopt
// when no terminator lies within `maxLength` bytes or before the buffer ends.
std::optional<std::string> ReadCString(const Bytes& bytes, uint64_t offset, size_t maxLength);

// `value` rounded up to a multiple of `alignment`; nullopt when alignment is 0
// or the result does not fit 32 bits.
std::optional<uint32_t> AlignUp(uint64_t value, uint32_t alignment);

}  // namespace specimen
