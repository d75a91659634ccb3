#include "cli/progress.h"

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

#include "cli/terminal.h"
#include "scan/walk.h"

namespace cli::progress {
namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kRedrawInterval = std::chrono::milliseconds(100);
// The first line waits until the rate is taken over a time long enough to
// mean something; a scan that ends sooner shows none.
constexpr auto kFirstDraw = std::chrono::seconds(1);
constexpr std::string_view kEraseLine = "\r\x1b[K";
constexpr std::string_view kCutMark = "...";

struct Display {
  bool started = false;
  bool lineShown = false;
  uint64_t files = 0;
  Clock::time_point start;
  Clock::time_point nextDraw;
};

// The walk's hook is a plain function, so the display it draws is file-wide.
Display g_display;

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

void Draw(Clock::time_point now, std::string_view path) {
  const double seconds = SecondsSince(g_display.start, now);
  const double rate = seconds > 0 ? static_cast<double>(g_display.files) / seconds : 0.0;
  char counts[80];
  std::snprintf(counts, sizeof counts, "%llu %s, %.0f/s, in ",
                static_cast<unsigned long long>(g_display.files),
                g_display.files == 1 ? "file" : "files", rate);
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
  g_display.lineShown = true;
}

void OnFile(std::string_view path) {
  ++g_display.files;
  const Clock::time_point now = Clock::now();
  if (now < g_display.nextDraw) return;
  g_display.nextDraw = now + kRedrawInterval;
  Draw(now, path);
}

}  // namespace

void Start() {
  g_display = Display{};
  g_display.started = true;
  g_display.start = Clock::now();
  g_display.nextDraw = g_display.start + kFirstDraw;
  scan::SetObjectHook(OnFile);
}

void Erase() {
  if (!g_display.lineShown) return;
  std::fwrite(kEraseLine.data(), 1, kEraseLine.size(), stderr);
  g_display.lineShown = false;
}

void Finish() {
  if (!g_display.started) return;
  scan::SetObjectHook(nullptr);
  Erase();
  const double seconds = SecondsSince(g_display.start, Clock::now());
  std::fprintf(stderr, "krizclean: %llu %s handled in %.2f s\n",
               static_cast<unsigned long long>(g_display.files),
               g_display.files == 1 ? "file" : "files", seconds);
  g_display.started = false;
}

}  // namespace cli::progress
