// The one-line progress display on standard error while a scan runs: files
// handled, their rate and the folder in work, redrawn at most every 100 ms.
#pragma once

#include <chrono>
#include <cstdint>
#include <string_view>

namespace cli {

class Progress {
 public:
  // Shows progress from now on; the scan's object hook calls OnFile.
  void Start();
  // For each file as it is handled, with the path its status line shows.
  void OnFile(std::string_view path);
  // Clears the line so that other output to the terminal starts at its left
  // edge; the next redraw brings it back. Nothing happens when none is shown.
  void Erase();
  // Leaves, in place of the line, how many files were handled in how long.
  void Finish();

 private:
  using Clock = std::chrono::steady_clock;
  void Draw(Clock::time_point now, std::string_view path);

  bool started_ = false;
  bool lineShown_ = false;
  uint64_t files_ = 0;
  Clock::time_point start_;
  Clock::time_point nextDraw_;
};

}  // namespace cli
