// A copy of objectPath that another thread can read whole while the thread
// handling objects goes on writing: the window's progress line reads it.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>

#include "scan/scan_state.h"

namespace scan {

class ObjectSnapshot {
 public:
  // Publishes `objectPath` (called by the thread that handles objects, for
  // each object).
  void Publish(std::string_view objectPath);
  // The last published path, never torn between two objects.
  std::string Read() const;

 private:
  // A sequence lock: the writer makes the count odd while it copies, the
  // reader retries while the count is odd or changed under it. The text is
  // held in atomic words so that the racing reads are well defined.
  static constexpr size_t kWords = (kPathBufferSize + 3) / 4;
  std::atomic<uint32_t> sequence_{0};
  std::array<std::atomic<uint32_t>, kWords> words_{};
};

}  // namespace scan
