// A path shown on one line: a path too wide for its room is shortened in its
// middle, with an ellipsis, so that its start (the drive) and its end (the
// file's name) stay in sight.
#pragma once

#include <windows.h>

#include <string>
#include <string_view>
#include <vector>

namespace ui {

// `path` as it fits `width` pixels in the font selected into `dc`.
std::string FitPathToWidth(HDC dc, int width, const std::string& path);

// `path` as it fits one line of `label`, in the label's font and width.
std::string FitPath(HWND label, const std::string& path);

// Where the characters of the system's text start: UTF-8 on NT, the ANSI
// code page (which may have two-byte characters) on 9x.
std::vector<size_t> SystemStarts(std::string_view text);

// `path` on lines of at most `width` pixels in the font selected into `dc`,
// joined by CR LF: broken after separators, and inside a name only where
// the name alone is wider than a line.
std::string WrapPath(HDC dc, int width, const std::string& path);

// Sets `label`'s text to FitPath(label, path).
void SetPathText(HWND label, const std::string& path);

}  // namespace ui
