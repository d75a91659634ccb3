#include "scan/manifest.h"

#include <charconv>
#include <cstdio>

#include "os/system.h"

namespace scan {
namespace {

constexpr std::string_view kRestored = "restored";

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool IsSha256(std::string_view text) {
  if (text.size() != 64) return false;
  for (char c : text) {
    if (HexDigit(c) < 0 || (c >= 'A' && c <= 'F')) return false;
  }
  return true;
}

std::vector<std::string_view> Fields(std::string_view line) {
  std::vector<std::string_view> fields;
  for (size_t start = 0;;) {
    const size_t tab = line.find('\t', start);
    fields.push_back(line.substr(start, tab - start));
    if (tab == std::string_view::npos) return fields;
    start = tab + 1;
  }
}

std::optional<ManifestLine> ParseLine(std::string_view line) {
  std::vector<std::string_view> fields = Fields(line);
  ManifestLine parsed;
  if (fields.size() == 5 && fields[0] == kRestored) {
    parsed.restored = true;
    fields.erase(fields.begin());
  }
  if (fields.size() != 4 || fields[0].empty() || fields[0].find('/') != std::string_view::npos ||
      fields[0].find('\\') != std::string_view::npos || fields[0] == "." || fields[0] == ".." ||
      !IsSha256(fields[2])) {
    return std::nullopt;
  }
  const auto [end, error] =
      std::from_chars(fields[1].data(), fields[1].data() + fields[1].size(), parsed.size);
  if (error != std::errc() || end != fields[1].data() + fields[1].size()) return std::nullopt;
  std::optional<std::string> original = UnescapedFromManifest(fields[3]);
  if (!original || original->empty()) return std::nullopt;
  parsed.name = fields[0];
  parsed.sha256 = fields[2];
  parsed.original = std::move(*original);
  return parsed;
}

}  // namespace

std::string EscapedForManifest(const std::string& text) {
  std::string escaped;
  for (char character : text) {
    auto c = static_cast<unsigned char>(character);
    if (c < 0x20 || c == 0x7F || c == '%') {
      char code[4];
      std::snprintf(code, sizeof code, "%%%02X", c);
      escaped += code;
    } else {
      escaped += character;
    }
  }
  return escaped;
}

std::optional<std::string> UnescapedFromManifest(std::string_view text) {
  std::string plain;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '%') {
      plain += text[i];
      continue;
    }
    const int high = i + 1 < text.size() ? HexDigit(text[i + 1]) : -1;
    const int low = i + 2 < text.size() ? HexDigit(text[i + 2]) : -1;
    if (high < 0 || low < 0) return std::nullopt;
    plain += static_cast<char>(high * 16 + low);
    i += 2;
  }
  return plain;
}

std::string ManifestText(const ManifestLine& line) {
  std::string text = line.restored ? std::string(kRestored) + "\t" : std::string();
  text += line.name + "\t" + std::to_string(line.size) + "\t" + line.sha256 + "\t" +
          EscapedForManifest(line.original);
  return text + (os::PathSeparator() == '\\' ? "\r\n" : "\n");
}

Manifest ParseManifest(std::string_view text) {
  Manifest manifest;
  size_t number = 0;
  for (size_t start = 0; start < text.size();) {
    size_t end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = text.substr(start, end - start);
    start = end + 1;
    ++number;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.empty()) continue;
    if (std::optional<ManifestLine> parsed = ParseLine(line)) {
      manifest.lines.push_back(std::move(*parsed));
    } else {
      manifest.unreadable.push_back(number);
    }
  }
  return manifest;
}

}  // namespace scan
