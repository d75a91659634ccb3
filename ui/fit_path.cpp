#include "ui/fit_path.h"

#include "ui/shorten_path.h"
#include "ui/wide_text.h"

namespace ui {
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

std::string WrapPath(HDC dc, int width, const std::string& path) {
  // Lines end after a separator where they can, else (a name wider than a
  // line) after the last character that fits.
  std::string wrapped;
  std::string line;
  auto fits = [&](const std::string& text) { return TextWidth(dc, text) <= width; };
  auto endLine = [&] {
    if (line.empty()) return;
    if (!wrapped.empty()) wrapped += "\r\n";
    wrapped += line;
    line.clear();
  };
  for (size_t start = 0; start < path.size();) {
    const size_t separator = path.find_first_of("\\/", start);
    const size_t end = separator == std::string::npos ? path.size() : separator + 1;
    const std::string piece = path.substr(start, end - start);
    start = end;
    if (!fits(line + piece)) endLine();
    if (fits(piece)) {
      line += piece;
      continue;
    }
    const std::vector<size_t> starts = SystemStarts(piece);
    for (size_t i = 0; i < starts.size(); ++i) {
      const size_t next = i + 1 < starts.size() ? starts[i + 1] : piece.size();
      const std::string character = piece.substr(starts[i], next - starts[i]);
      if (!line.empty() && !fits(line + character)) endLine();
      line += character;
    }
  }
  endLine();
  return wrapped;
}

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
