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

namespace {

// The length of the well-formed UTF-8 sequence of two to four bytes that
// starts at text[at], or 0 when none does (a stray continuation byte, an
// overlong form, a surrogate, a value past U+10FFFF, or a sequence cut off).
size_t Utf8Length(std::string_view text, size_t at) {
  const auto byte = [&](size_t i) { return static_cast<unsigned char>(text[at + i]); };
  const unsigned char lead = byte(0);
  size_t length = 0;
  unsigned char low = 0x80;
  unsigned char high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return 0;
  }
  if (text.size() - at < length) return 0;
  if (byte(1) < low || byte(1) > high) return 0;
  for (size_t i = 2; i < length; ++i) {
    if ((byte(i) & 0xC0) != 0x80) return 0;
  }
  return length;
}

}  // namespace

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
    } else if (byte < 0x80) {
      shown += text[i];
    } else if (const size_t length = Utf8Length(text, i); length != 0) {
      shown.append(text, i, length);
      i += length - 1;
    } else {
      // Not UTF-8: a lone 0x9B, say, is an escape introducer to a terminal
      // that reads 8-bit controls.
      hex(byte);
    }
  }
  return shown;
}

}  // namespace cli
