// Bytes read by their offset: a file on the disk, and just as well a file
// inside a disk image or an archive. What the engine reads everything through.
#pragma once

#include <cstdint>
#include <optional>

namespace os {

class ByteSource {
 public:
  virtual ~ByteSource() = default;
  // Up to `length` bytes at `offset`; fewer only at the end. nullopt when
  // they cannot be read.
  virtual std::optional<uint32_t> ReadAt(uint64_t offset, void* buffer, uint32_t length) = 0;
  virtual std::optional<uint64_t> Size() = 0;
};

}  // namespace os
