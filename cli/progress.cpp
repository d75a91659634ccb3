#include "cli/progress.h"

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

#include "cli/terminal.h"

namespace cli {
namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kRedrawInterval = std::chrono::milliseconds(100);
// The first line waits until the rate is taken over a time long enough to
// mean something; a scan that ends sooner shows none.
constexpr auto kFirstDraw = std::chrono::seconds(1);
constexpr std::string_view kEraseLine = "\r\x1b[K";
constexpr std::string_view kCutMark = "...";

double SecondsSince(Clock::time_point start, Clock::time_point now) {
  return std::chrono::duration<double>(now - start).count();
}

std::string_view FolderOf(std::string_view path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string_view::npos) return ".";
  return path.substr(0, slash == 0 ? 1 : slash);
}

// The end of `text` in at most `room` bytes, marked as cut, starting on a
// UTF-8 character boundary: the deepest folders tell most about where the
// walk is.
std::string TailThatFits(const std::string& text, size_t room) {
  if (text.size() <= room) return text;
  if (room <= kCutMark.size()) return std::string(kCutMark.substr(0, room));
  size_t from = text.size() - (room - kCutMark.size());
  while (from < text.size() && (static_cast<unsigned char>(text[from]) & 0xC0) == 0x80) ++from;
  return std::string(kCutMark) + text.substr(from);
}

}  // namespace

void Progress::Draw(Clock::time_point now, std::string_view path) {
  const double seconds = SecondsSince(start_, now);
  const double rate = seconds > 0 ? static_cast<double>(files_) / seconds : 0.0;
  char counts[80];
  std::snprintf(counts, sizeof counts, "%llu %s, %.0f/s, in ",
                static_cast<unsigned long long>(files_), files_ == 1 ? "file" : "files", rate);
  std::string text = counts;
  // One column short of the width: a line that fills it would wrap, and the
  // carriage return would then redraw only its second half.
  const size_t columns = TerminalColumns();
  const size_t room = columns > text.size() + 1 ? columns - text.size() - 1 : 0;
  text += TailThatFits(Escaped(FolderOf(path)), room);
  // Back to the left edge, the new text, then clear what is left of a longer
  // previous line: one write, so the line never flickers empty.
  const std::string line = "\r" + text + "\x1b[K";
  std::fwrite(line.data(), 1, line.size(), stderr);
  lineShown_ = true;
}

void Progress::OnFile(std::string_view path) {
  if (!started_) return;
  ++files_;
  const Clock::time_point now = Clock::now();
  if (now < nextDraw_) return;
  nextDraw_ = now + kRedrawInterval;
  Draw(now, path);
}

void Progress::Start() {
  *this = Progress{};
  started_ = true;
  start_ = Clock::now();
  nextDraw_ = start_ + kFirstDraw;
}

void Progress::Erase() {
  if (!lineShown_) return;
  std::fwrite(kEraseLine.data(), 1, kEraseLine.size(), stderr);
  lineShown_ = false;
}

void Progress::Finish() {
  if (!started_) return;
  Erase();
  const double seconds = SecondsSince(start_, Clock::now());
  std::fprintf(stderr, "krizclean: %llu %s handled in %.2f s\n",
               static_cast<unsigned long long>(files_), files_ == 1 ? "file" : "files", seconds);
  started_ = false;
}

}  // namespace cli
