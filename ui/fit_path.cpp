#include "ui/fit_path.h"

#include <vector>

namespace ui {

// DrawText's path ellipsis (known to Windows 95, 98 and NT 4, unlike the
// static control's own ellipsis styles) shortens the text as it would draw
// it; the callers' contexts are memory ones, where nothing shows.
std::string FitPathToWidth(HDC dc, int width, const std::string& path) {
  SIZE extent{};
  if (path.empty() ||
      (GetTextExtentPoint32A(dc, path.c_str(), static_cast<int>(path.size()), &extent) &&
       extent.cx <= width)) {
    return path;  // the usual case, told without the cost of drawing
  }
  // The ellipsis may make the text longer than it was by up to four
  // characters before it fits, and DrawText writes them into the buffer.
  std::vector<char> text(path.begin(), path.end());
  text.resize(path.size() + 5, '\0');
  RECT area{0, 0, width, 0x4000};
  DrawTextA(dc, text.data(), static_cast<int>(path.size()), &area,
            DT_SINGLELINE | DT_NOPREFIX | DT_PATH_ELLIPSIS | DT_MODIFYSTRING);
  return std::string(text.data());
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

void SetPathText(HWND label, const std::string& path) {
  SetWindowTextA(label, FitPath(label, path).c_str());
}

}  // namespace ui
