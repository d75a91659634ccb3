// A file held in memory, read like any other: a member fetched from object
// storage, a record cut from a web archive.
#pragma once

#include <algorithm>
#include <cstdint>
#include <span>

#include "inside/inner_object.h"

namespace inside {

class MemoryBytes final : public InnerSource {
 public:
  explicit MemoryBytes(std::span<const uint8_t> bytes) : bytes_(bytes) {}
  std::optional<uint32_t> ReadAt(uint64_t offset, void* buffer, uint32_t length) override {
    if (offset >= bytes_.size()) return 0;
    const auto n = static_cast<uint32_t>(std::min<uint64_t>(length, bytes_.size() - offset));
    std::copy_n(bytes_.data() + offset, n, static_cast<uint8_t*>(buffer));
    return n;
  }
  std::optional<uint64_t> Size() override { return bytes_.size(); }

 private:
  std::span<const uint8_t> bytes_;
};

}  // namespace inside
