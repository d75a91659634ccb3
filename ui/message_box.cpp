#include "ui/message_box.h"

#include <algorithm>
#include <cstddef>
#include <string>

#include "ui/main_dialog.h"
#include "ui/resource_ids.h"
#include "ui/wide_text.h"

namespace ui {
namespace {

// What the dialog procedure needs of the call.
struct BoxRequest {
  std::string_view text;
  BoxStyle style;
  HWND* shown;
};

// Dialog units, turned into pixels of `box` by MapDialogRect.
constexpr int kMargin = 7;
constexpr int kGap = 4;
constexpr int kButtonWidth = 50;
constexpr int kButtonHeight = 14;
// Room beside a caption's text: its icon or left edge, the close box, and the
// gaps around them, as a share of the caption's height.
constexpr int kCaptionExtraHeights = 3;

// The NONCLIENTMETRICS that Windows 98 and NT 4 know: the newer systems'
// structure has a member more, and the older ones refuse its size.
constexpr UINT kClassicMetricsSize = offsetof(NONCLIENTMETRICSA, lfMessageFont) + sizeof(LOGFONTA);

struct Size {
  int width;
  int height;
};

Size DialogUnits(HWND box, int width, int height) {
  RECT r{0, 0, width, height};
  MapDialogRect(box, &r);
  return Size{r.right, r.bottom};
}

// The text's size in the box's font, its lines broken at words to at most
// `maxWidth` pixels as the static control breaks them.
Size TextSize(HWND box, std::string_view text, int maxWidth) {
  RECT r{0, 0, maxWidth, 0};
  HDC dc = GetDC(box);
  HGDIOBJ previous = SelectObject(dc, reinterpret_cast<HFONT>(SendMessageA(box, WM_GETFONT, 0, 0)));
  std::string copy(text);
  DrawTextA(dc, copy.c_str(), static_cast<int>(copy.size()), &r,
            DT_CALCRECT | DT_WORDBREAK | DT_EXPANDTABS | DT_NOPREFIX);
  SelectObject(dc, previous);
  ReleaseDC(box, dc);
  return Size{r.right - r.left, r.bottom - r.top};
}

// The width, in pixels, of the whole window that shows `caption` in the
// system's caption font without cutting it.
int WidthForCaption(HWND box, const std::string& caption) {
  NONCLIENTMETRICSA metrics{};
  metrics.cbSize = kClassicMetricsSize;
  if (!SystemParametersInfoA(SPI_GETNONCLIENTMETRICS, kClassicMetricsSize, &metrics, 0)) return 0;
  HFONT font = CreateFontIndirectA(&metrics.lfCaptionFont);
  HDC dc = GetDC(box);
  HGDIOBJ previous = SelectObject(dc, font);
  SIZE extent{};
  GetTextExtentPoint32A(dc, caption.c_str(), static_cast<int>(caption.size()), &extent);
  SelectObject(dc, previous);
  ReleaseDC(box, dc);
  DeleteObject(font);
  return extent.cx + kCaptionExtraHeights * metrics.iCaptionHeight +
         2 * GetSystemMetrics(SM_CXDLGFRAME);
}

void Place(HWND control, int x, int y, int width, int height) {
  SetWindowPos(control, nullptr, x, y, width, height, SWP_NOZORDER | SWP_NOACTIVATE);
}

// Centres the box on its owner, or on the screen when it has none, within
// the screen.
void Centre(HWND box, HWND owner, int width, int height) {
  RECT area{0, 0, GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN)};
  if (owner != nullptr && IsWindowVisible(owner)) GetWindowRect(owner, &area);
  int x = (area.left + area.right - width) / 2;
  int y = (area.top + area.bottom - height) / 2;
  x = std::max(0, std::min(x, GetSystemMetrics(SM_CXSCREEN) - width));
  y = std::max(0, std::min(y, GetSystemMetrics(SM_CYSCREEN) - height));
  SetWindowPos(box, nullptr, x, y, width, height, SWP_NOZORDER | SWP_NOACTIVATE);
}

// Sizes and places the box and its controls for the request's text and
// buttons; returns the button that takes Enter and the first focus.
HWND Lay(HWND box, const BoxRequest& request) {
  const bool asks = request.style.buttons == BoxButtons::YesNo;
  HWND icon = GetDlgItem(box, IDC_BOX_ICON);
  HWND text = GetDlgItem(box, IDC_BOX_TEXT);
  HWND buttons[2] = {GetDlgItem(box, asks ? IDYES : IDOK), asks ? GetDlgItem(box, IDNO) : nullptr};
  ShowWindow(GetDlgItem(box, IDOK), asks ? SW_HIDE : SW_SHOW);
  ShowWindow(GetDlgItem(box, IDYES), asks ? SW_SHOW : SW_HIDE);
  ShowWindow(GetDlgItem(box, IDNO), asks ? SW_SHOW : SW_HIDE);

  Size margin = DialogUnits(box, kMargin, kMargin);
  Size gap = DialogUnits(box, kGap, kGap);
  Size button = DialogUnits(box, kButtonWidth, kButtonHeight);
  int iconSize = 0;
  if (request.style.icon != BoxIcon::None) {
    iconSize = GetSystemMetrics(SM_CXICON);
    HICON picture =
        LoadIconA(nullptr, request.style.icon == BoxIcon::Error ? IDI_HAND : IDI_EXCLAMATION);
    SendMessageA(icon, STM_SETICON, reinterpret_cast<WPARAM>(picture), 0);
  } else {
    ShowWindow(icon, SW_HIDE);
  }
  const int textLeft = margin.width + (iconSize != 0 ? iconSize + margin.width : 0);
  Size words = TextSize(box, request.text, GetSystemMetrics(SM_CXSCREEN) / 2);

  RECT window, client;
  GetWindowRect(box, &window);
  GetClientRect(box, &client);
  const int frameWidth = (window.right - window.left) - (client.right - client.left);
  const int frameHeight = (window.bottom - window.top) - (client.bottom - client.top);
  const int buttonCount = asks ? 2 : 1;
  const int buttonsWidth = buttonCount * button.width + (buttonCount - 1) * gap.width;
  int width = std::max(textLeft + words.width, buttonsWidth + margin.width) + margin.width;
  width = std::max(width, WidthForCaption(box, CleanerTitle()) - frameWidth);
  const int top = margin.height;
  const int bodyHeight = std::max(words.height, iconSize);
  const int buttonsTop = top + bodyHeight + margin.height;
  const int height = buttonsTop + button.height + margin.height;

  Place(icon, margin.width, top, iconSize, iconSize);
  Place(text, textLeft, top + (bodyHeight - words.height) / 2, width - textLeft - margin.width,
        words.height);
  int x = (width - buttonsWidth) / 2;
  for (HWND b : buttons) {
    if (b == nullptr) continue;
    Place(b, x, buttonsTop, button.width, button.height);
    x += button.width + gap.width;
  }
  Centre(box, GetWindow(box, GW_OWNER), width + frameWidth, height + frameHeight);
  return buttons[0];
}

INT_PTR CALLBACK BoxProc(HWND box, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_INITDIALOG) {
    const auto& request = *reinterpret_cast<const BoxRequest*>(lParam);
    SetWindowLongPtrA(box, DWLP_USER, lParam);
    SetWindowTextA(box, CleanerTitle().c_str());
    SetText(GetDlgItem(box, IDC_BOX_TEXT), request.text);
    HWND first = Lay(box, request);
    SendMessageA(box, DM_SETDEFID, static_cast<WPARAM>(GetDlgCtrlID(first)), 0);
    SendMessageA(first, BM_SETSTYLE, BS_DEFPUSHBUTTON, TRUE);
    if (request.style.topmost) {
      SetWindowPos(box, HWND_TOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);
      SetForegroundWindow(box);
    }
    if (request.style.icon == BoxIcon::Warning) MessageBeep(MB_ICONEXCLAMATION);
    if (request.style.icon == BoxIcon::Error) MessageBeep(MB_ICONHAND);
    if (request.shown != nullptr) *request.shown = box;
    SetFocus(first);
    return FALSE;  // the focus is set
  }
  if (message != WM_COMMAND) return FALSE;
  const auto* request = reinterpret_cast<const BoxRequest*>(GetWindowLongPtrA(box, DWLP_USER));
  switch (LOWORD(wParam)) {
    case IDOK:
    case IDYES:
    case IDNO:
      EndDialog(box, LOWORD(wParam));
      return TRUE;
    case IDCANCEL:  // Escape, the close box
      EndDialog(box, request->style.buttons == BoxButtons::YesNo ? IDNO : IDOK);
      return TRUE;
    default:
      return FALSE;
  }
}

}  // namespace

int ShowBox(HWND owner, std::string_view text, BoxStyle style, HWND* shown) {
  BoxRequest request{text, style, shown};
  INT_PTR answer = RunDialog(GetModuleHandleA(nullptr), IDD_BOX, owner, BoxProc,
                             reinterpret_cast<LPARAM>(&request));
  if (shown != nullptr) *shown = nullptr;
  if (answer == -1 || answer == 0) {
    // No dialog could be made: the system's own box says it all the same.
    UINT type = style.buttons == BoxButtons::YesNo ? MB_YESNO : MB_OK;
    if (style.icon == BoxIcon::Warning) type |= MB_ICONEXCLAMATION;
    if (style.icon == BoxIcon::Error) type |= MB_ICONERROR;
    if (style.topmost) type |= MB_TOPMOST | MB_SETFOREGROUND;
    return MessageBoxA(owner, std::string(text).c_str(), CleanerTitle().c_str(), type);
  }
  return static_cast<int>(answer);
}

}  // namespace ui
