#include "os/glob.h"

#include <cstddef>
#include <optional>
#include <string_view>

// The C library of MinGW-w64 has no fnmatch: the same rules, byte by byte
// (character classes such as "[[:digit:]]" aside, which nothing here uses),
// except that a backslash is the path separator here, not an escape.
namespace os {
namespace {

// Whether `c` is in the bracket expression that starts at pattern[at] (just
// after its "["); sets `end` to the index after its "]". nullopt when the
// expression has no "]": the "[" then stands for itself.
std::optional<bool> InSet(std::string_view pattern, size_t at, unsigned char c, size_t& end) {
  bool negated = false;
  if (at < pattern.size() && (pattern[at] == '!' || pattern[at] == '^')) {
    negated = true;
    ++at;
  }
  bool found = false;
  bool first = true;
  while (at < pattern.size()) {
    if (pattern[at] == ']' && !first) {
      end = at + 1;
      return found != negated;
    }
    first = false;
    const unsigned char low = static_cast<unsigned char>(pattern[at++]);
    unsigned char high = low;
    if (at + 1 < pattern.size() && pattern[at] == '-' && pattern[at + 1] != ']') {
      high = static_cast<unsigned char>(pattern[at + 1]);
      at += 2;
    }
    if (low <= c && c <= high) found = true;
  }
  return std::nullopt;
}

}  // namespace

bool GlobMatches(const std::string& pattern, const std::string& text) {
  // Where the last "*" stood, and where in the text its run ends now: on a
  // mismatch that star takes one byte more. The earlier stars need never
  // take more, so this is linear in the common case and never recursive.
  size_t p = 0, t = 0;
  std::optional<size_t> starAt;
  size_t starText = 0;
  while (t < text.size()) {
    if (p < pattern.size()) {
      const char c = pattern[p];
      if (c == '*') {
        starAt = ++p;
        starText = t;
        continue;
      }
      bool matched = false;
      size_t next = p + 1;
      if (c == '?') {
        matched = true;
      } else if (c == '[') {
        size_t end = 0;
        const std::optional<bool> in =
            InSet(pattern, p + 1, static_cast<unsigned char>(text[t]), end);
        if (in) {
          matched = *in;
          next = end;
        } else {
          matched = text[t] == '[';
        }
      } else {
        matched = text[t] == c;
      }
      if (matched) {
        p = next;
        ++t;
        continue;
      }
    }
    if (!starAt) return false;
    p = *starAt;
    t = ++starText;
  }
  while (p < pattern.size() && pattern[p] == '*') ++p;
  return p == pattern.size();
}

}  // namespace os
