#include "cli/terminal.h"

#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace cli {

bool StandardInputIsTerminal() { return isatty(STDIN_FILENO) == 1; }

bool StandardErrorIsTerminal() { return isatty(STDERR_FILENO) == 1; }

bool StandardOutputIsTerminal() { return isatty(STDOUT_FILENO) == 1; }

bool OutputsShareTerminal() {
  struct stat out {};
  struct stat err {};
  return StandardOutputIsTerminal() && StandardErrorIsTerminal() &&
         fstat(STDOUT_FILENO, &out) == 0 && fstat(STDERR_FILENO, &err) == 0 &&
         out.st_rdev == err.st_rdev;
}

size_t TerminalColumns() {
  winsize size{};
  if (ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) return size.ws_col;
  return 80;
}

std::string Escaped(std::string_view text) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string shown;
  shown.reserve(text.size());
  auto hex = [&](unsigned char byte) {
    shown += "\\x";
    shown += kHex[byte >> 4];
    shown += kHex[byte & 0xF];
  };
  for (size_t i = 0; i < text.size(); ++i) {
    const auto byte = static_cast<unsigned char>(text[i]);
    if (byte == '\\') {
      shown += "\\\\";
    } else if (byte == '\n') {
      shown += "\\n";
    } else if (byte == '\r') {
      shown += "\\r";
    } else if (byte == '\t') {
      shown += "\\t";
    } else if (byte < 0x20 || byte == 0x7F) {
      hex(byte);
    } else if (byte == 0xC2 && i + 1 < text.size() &&
               (static_cast<unsigned char>(text[i + 1]) & 0xE0) == 0x80) {
      // U+0080 to U+009F: C1 controls, which some terminals obey.
      hex(byte);
      hex(static_cast<unsigned char>(text[++i]));
    } else {
      shown += text[i];
    }
  }
  return shown;
}

}  // namespace cli
