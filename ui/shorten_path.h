// A path shortened in its middle to fit a width, as the window shows paths
// on one line: the drive, the first folder and the whole file name stay
// where they fit, then the drive and the whole name, then the drive and the
// end of the name (its extension last to go); "..." stands for what is cut.
// Plain text and a measure, so that it is tested without a window.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace ui {

// The width of a text in pixels (any unit that adds up).
using MeasureText = std::function<int(std::string_view)>;
// The offsets at which the text's characters start (every byte in a
// one-byte code page; lead bytes only in UTF-8 or a double-byte one).
using CharacterStarts = std::function<std::vector<size_t>(std::string_view)>;

// The character starts of UTF-8 text.
std::vector<size_t> Utf8Starts(std::string_view text);

// `path` as it fits `width`; the path itself when it fits whole.
std::string ShortenPath(std::string_view path, int width, const MeasureText& measure,
                        const CharacterStarts& starts = Utf8Starts);

}  // namespace ui
