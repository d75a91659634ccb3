// Screenshots of the cleaner's windows: what the screen shows inside a
// window's rectangle, written as a 24-bit bitmap file.
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <vector>

#include "tests/ui_driver.h"

namespace ui_test {
namespace {

// The window's rectangle as 24-bit rows, bottom row first, each padded to a
// multiple of 4 bytes: the layout of a bitmap file's pixels.
std::vector<uint8_t> Capture(const RECT& area) {
  int width = area.right - area.left;
  int height = area.bottom - area.top;
  std::vector<uint8_t> pixels;
  if (width <= 0 || height <= 0) return pixels;
  HDC screen = GetDC(nullptr);
  HDC memory = CreateCompatibleDC(screen);
  BITMAPINFO info{};
  info.bmiHeader.biSize = sizeof info.bmiHeader;
  info.bmiHeader.biWidth = width;
  info.bmiHeader.biHeight = height;
  info.bmiHeader.biPlanes = 1;
  info.bmiHeader.biBitCount = 24;
  info.bmiHeader.biCompression = BI_RGB;
  void* bits = nullptr;
  HBITMAP bitmap = CreateDIBSection(screen, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
  if (bitmap != nullptr) {
    HGDIOBJ previous = SelectObject(memory, bitmap);
    BitBlt(memory, 0, 0, width, height, screen, area.left, area.top, SRCCOPY);
    GdiFlush();
    size_t stride = (static_cast<size_t>(width) * 3 + 3) & ~size_t{3};
    const auto* first = static_cast<const uint8_t*>(bits);
    pixels.assign(first, first + stride * static_cast<size_t>(height));
    SelectObject(memory, previous);
    DeleteObject(bitmap);
  }
  DeleteDC(memory);
  ReleaseDC(nullptr, screen);
  return pixels;
}

void PutLe(std::vector<uint8_t>& out, uint32_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

}  // namespace

void SaveScreenshot(HWND window, const std::string& name) {
  const char* folder = std::getenv("KRIZ_SCREENSHOT_DIR");
  if (folder == nullptr || *folder == '\0') return;
  RECT area;
  if (!GetWindowRect(window, &area)) return;
  // The program paints on its own thread and the display catches up a little
  // later: take the picture once two captures in a row agree.
  std::vector<uint8_t> pixels = Capture(area);
  WaitUntil(
      [&] {
        Sleep(100);
        std::vector<uint8_t> again = Capture(area);
        bool settled = again == pixels;
        pixels = std::move(again);
        return settled;
      },
      3000);
  if (pixels.empty()) return;

  auto width = static_cast<uint32_t>(area.right - area.left);
  auto height = static_cast<uint32_t>(area.bottom - area.top);
  std::vector<uint8_t> header;
  header.push_back('B');
  header.push_back('M');
  PutLe(header, static_cast<uint32_t>(54 + pixels.size()), 4);  // file size
  PutLe(header, 0, 4);                                          // reserved
  PutLe(header, 54, 4);                                         // offset of the pixels
  PutLe(header, 40, 4);                                         // BITMAPINFOHEADER
  PutLe(header, width, 4);
  PutLe(header, height, 4);
  PutLe(header, 1, 2);   // planes
  PutLe(header, 24, 2);  // bits per pixel
  PutLe(header, 0, 4);   // BI_RGB
  PutLe(header, static_cast<uint32_t>(pixels.size()), 4);
  PutLe(header, 2835, 4);  // 72 dots per inch, both ways
  PutLe(header, 2835, 4);
  PutLe(header, 0, 4);
  PutLe(header, 0, 4);

  std::ofstream out(std::string(folder) + "\\" + name + ".bmp", std::ios::binary);
  out.write(reinterpret_cast<const char*>(header.data()),
            static_cast<std::streamsize>(header.size()));
  out.write(reinterpret_cast<const char*>(pixels.data()),
            static_cast<std::streamsize>(pixels.size()));
}

}  // namespace ui_test
