#include "scan/object_snapshot.h"

#include <algorithm>
#include <cstring>

namespace scan {

void ObjectSnapshot::Publish(std::string_view objectPath) {
  std::array<uint32_t, kWords> words{};
  std::memcpy(words.data(), objectPath.data(), std::min(objectPath.size(), kMaxPathLength));
  uint32_t sequence = sequence_.load(std::memory_order_relaxed);
  sequence_.store(sequence + 1, std::memory_order_relaxed);
  std::atomic_thread_fence(std::memory_order_release);
  for (size_t i = 0; i < kWords; ++i) words_[i].store(words[i], std::memory_order_relaxed);
  sequence_.store(sequence + 2, std::memory_order_release);
}

std::string ObjectSnapshot::Read() const {
  std::array<uint32_t, kWords> words{};
  for (;;) {
    uint32_t before = sequence_.load(std::memory_order_acquire);
    if (before % 2 != 0) continue;
    for (size_t i = 0; i < kWords; ++i) words[i] = words_[i].load(std::memory_order_relaxed);
    std::atomic_thread_fence(std::memory_order_acquire);
    if (sequence_.load(std::memory_order_relaxed) == before) break;
  }
  char text[kWords * 4 + 1] = {};
  std::memcpy(text, words.data(), kWords * 4);
  text[kPathBufferSize - 1] = '\0';
  return std::string(text);
}

}  // namespace scan
