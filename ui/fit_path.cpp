#include "ui/fit_path.h"

#include "ui/shorten_path.h"
#include "ui/wide_text.h"

namespace ui {
namespace {

// Where the characters of the system's text start: UTF-8 on NT, the ANSI
// code page (which may have two-byte characters) on 9x.
std::vector<size_t> SystemStarts(std::string_view text) {
  if (WideWindows()) return Utf8Starts(text);
  std::vector<size_t> starts;
  for (size_t at = 0; at < text.size();) {
    starts.push_back(at);
    at +=
        IsDBCSLeadByte(static_cast<BYTE>(text[at])) && at + 1 < text.size() ? size_t{2} : size_t{1};
  }
  return starts;
}

}  // namespace

std::string FitPathToWidth(HDC dc, int width, const std::string& path) {
  // Measured in the context's font: the callers' contexts are memory ones,
  // where nothing shows.
  return ShortenPath(
      path, width, [dc](std::string_view text) { return TextWidth(dc, text); }, SystemStarts);
}

std::string FitPath(HWND label, const std::string& path) {
  RECT area;
  if (path.empty() || !GetClientRect(label, &area)) return path;
  HDC screen = GetDC(label);
  if (screen == nullptr) return path;
  HDC memory = CreateCompatibleDC(screen);
  ReleaseDC(label, screen);
  if (memory == nullptr) return path;
  auto font = reinterpret_cast<HFONT>(SendMessageA(label, WM_GETFONT, 0, 0));
  HGDIOBJ previous = font != nullptr ? SelectObject(memory, font) : nullptr;
  std::string fitted = FitPathToWidth(memory, area.right - area.left, path);
  if (previous != nullptr) SelectObject(memory, previous);
  DeleteDC(memory);
  return fitted;
}

void SetPathText(HWND label, const std::string& path) { SetText(label, FitPath(label, path)); }

}  // namespace ui
