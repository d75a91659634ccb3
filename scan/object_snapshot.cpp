#include "scan/object_snapshot.h"

#include <array>
#include <atomic>
#include <cstring>

#include "scan/scan_state.h"

namespace scan {
namespace {

// A sequence lock: the writer makes the count odd while it copies, the
// reader retries while the count is odd or changed under it. The text is
// held in atomic words so that the racing reads are well defined.
constexpr size_t kWords = (kPathBufferSize + 3) / 4;
std::atomic<uint32_t> g_sequence{0};
std::array<std::atomic<uint32_t>, kWords> g_words{};

}  // namespace

void PublishObjectPath() {
  std::array<uint32_t, kWords> words{};
  std::string_view path = PathView(TheScanState().objectPath);
  std::memcpy(words.data(), path.data(), path.size());
  uint32_t sequence = g_sequence.load(std::memory_order_relaxed);
  g_sequence.store(sequence + 1, std::memory_order_relaxed);
  std::atomic_thread_fence(std::memory_order_release);
  for (size_t i = 0; i < kWords; ++i) g_words[i].store(words[i], std::memory_order_relaxed);
  g_sequence.store(sequence + 2, std::memory_order_release);
}

std::string PublishedObjectPath() {
  std::array<uint32_t, kWords> words{};
  for (;;) {
    uint32_t before = g_sequence.load(std::memory_order_acquire);
    if (before % 2 != 0) continue;
    for (size_t i = 0; i < kWords; ++i) words[i] = g_words[i].load(std::memory_order_relaxed);
    std::atomic_thread_fence(std::memory_order_acquire);
    if (g_sequence.load(std::memory_order_relaxed) == before) break;
  }
  char text[kWords * 4 + 1] = {};
  std::memcpy(text, words.data(), kWords * 4);
  text[kPathBufferSize - 1] = '\0';
  return std::string(text);
}

}  // namespace scan
