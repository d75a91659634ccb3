// A path shown on one line: a path too wide for its room is shortened in its
// middle, with an ellipsis, so that its start (the drive) and its end (the
// file's name) stay in sight.
#pragma once

#include <windows.h>

#include <string>

namespace ui {

// `path` as it fits `width` pixels in the font selected into `dc`.
std::string FitPathToWidth(HDC dc, int width, const std::string& path);

// `path` as it fits one line of `label`, in the label's font and width.
std::string FitPath(HWND label, const std::string& path);

// Sets `label`'s text to FitPath(label, path).
void SetPathText(HWND label, const std::string& path);

}  // namespace ui
