// The backup folder's manifest, manifest.txt: a line for each original kept
// before it was cleaned, and a line for each one put back since.
//   NAME TAB SIZE TAB SHA-256 TAB ORIGINAL-PATH             a kept original
//   "restored" TAB NAME TAB SIZE TAB SHA-256 TAB ORIGINAL-PATH   put back
// NAME is the backup's name in the folder (it always ends in ".kzb", so no
// kept line starts with "restored" and a tab), SIZE and SHA-256 are the
// original's, and ORIGINAL-PATH has its control characters and "%" written
// as "%XX" (two hexadecimal digits), so that each file takes exactly one line.
// Lines end in a line feed (a carriage return and a line feed on Windows).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace scan {

inline constexpr char kManifestName[] = "manifest.txt";

struct ManifestLine {
  bool restored = false;  // a "restored" line
  std::string name;       // the backup's name in the folder
  uint64_t size = 0;
  std::string sha256;    // 64 lower-case hexadecimal digits
  std::string original;  // the original's path, its escapes undone
};

// `text` with its control characters and "%" written as "%XX".
std::string EscapedForManifest(const std::string& text);
// The escapes undone; nullopt for a "%" not followed by two hexadecimal digits.
std::optional<std::string> UnescapedFromManifest(std::string_view text);

// The manifest line for `line`, with its end.
std::string ManifestText(const ManifestLine& line);

struct Manifest {
  std::vector<ManifestLine> lines;
  std::vector<size_t> unreadable;  // numbers (from 1) of the lines that are none of the two
};

Manifest ParseManifest(std::string_view text);

}  // namespace scan
