#include "ui/path_list.h"

#include <commctrl.h>

#include <algorithm>

#include "ui/fit_path.h"
#include "ui/wide_text.h"

namespace ui {
namespace {

// What a cell takes of its column's width beside its text.
constexpr int kCellPadding = 16;
// Where a row is looked for across the list: inside the first column.
constexpr int kProbeX = 4;

// A row's cell: in UTF-16 on NT, whole.
void SetCell(HWND list, int row, int column, const std::string& text) {
  if (WideWindows()) {
    std::wstring wide = WideText(text);
    LVITEMW item{};
    item.iSubItem = column;
    item.pszText = wide.data();
    SendMessageA(list, LVM_SETITEMTEXTW, static_cast<WPARAM>(row), reinterpret_cast<LPARAM>(&item));
    return;
  }
  LVITEMA item{};
  item.iSubItem = column;
  item.pszText = const_cast<char*>(text.c_str());
  SendMessageA(list, LVM_SETITEMTEXTA, static_cast<WPARAM>(row), reinterpret_cast<LPARAM>(&item));
}

}  // namespace

PathList::~PathList() {
  if (measure_ != nullptr) {
    if (measureFont_ != nullptr) SelectObject(measure_, measureFont_);
    DeleteDC(measure_);
  }
}

void PathList::Attach(HWND dialog, HWND list, const std::vector<const char*>& titles,
                      const std::vector<int>& widths) {
  list_ = list;
  RECT client{};
  GetClientRect(list, &client);
  // The first column leaves room for the vertical scroll bar that many rows
  // bring, so that no horizontal one ever shows with it.
  int first = client.right - GetSystemMetrics(SM_CXVSCROLL);
  for (int width : widths) first -= width;
  for (size_t column = 0; column < titles.size(); ++column) {
    LVCOLUMNA header{};
    header.mask = LVCF_FMT | LVCF_TEXT | LVCF_WIDTH | LVCF_SUBITEM;
    header.fmt = LVCFMT_LEFT;
    header.cx = column == 0 ? first : widths.at(column - 1);
    header.pszText = const_cast<char*>(titles[column]);
    header.iSubItem = static_cast<int>(column);
    SendMessageA(list, LVM_INSERTCOLUMNA, column, reinterpret_cast<LPARAM>(&header));
  }

  HDC screen = GetDC(list);
  measure_ = CreateCompatibleDC(screen);
  ReleaseDC(list, screen);
  auto font = reinterpret_cast<HFONT>(SendMessageA(list, WM_GETFONT, 0, 0));
  if (measure_ != nullptr && font != nullptr) measureFont_ = SelectObject(measure_, font);
  TEXTMETRICA metrics{};
  if (measure_ != nullptr && GetTextMetricsA(measure_, &metrics)) {
    widestCharacter_ = metrics.tmMaxCharWidth;
  }
  TakeColumnWidth();

  tip_ = CreateWindowExA(WS_EX_TOPMOST, TOOLTIPS_CLASSA, nullptr,
                         WS_POPUP | TTS_ALWAYSTIP | TTS_NOPREFIX, CW_USEDEFAULT, CW_USEDEFAULT,
                         CW_USEDEFAULT, CW_USEDEFAULT, dialog, nullptr, GetModuleHandleA(nullptr),
                         nullptr);
  if (tip_ != nullptr) {
    TOOLINFOA tool{};
    tool.cbSize = TTTOOLINFOA_V1_SIZE;  // the size every version of the control knows
    tool.uFlags = TTF_IDISHWND;
    tool.hwnd = dialog;
    tool.uId = reinterpret_cast<UINT_PTR>(list);
    tool.lpszText = LPSTR_TEXTCALLBACKA;
    SendMessageA(tip_, TTM_ADDTOOLA, 0, reinterpret_cast<LPARAM>(&tool));
    // Long paths are shown whole, on lines that the tip's text breaks
    // (WrapPath): a width is what makes it take more than one line.
    SendMessageA(tip_, TTM_SETMAXTIPWIDTH, 0, GetSystemMetrics(SM_CXSCREEN));
  }
  // The list's own procedure hands the tip the pointer's moves. (Not the
  // tip's own subclassing, nor a window property: both cost a look-up in the
  // system for every message, and rows come by the thousand.)
  SetWindowLongPtrA(list, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
  listProc_ = reinterpret_cast<WNDPROC>(
      SetWindowLongPtrA(list, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(ListProc)));
}

LRESULT CALLBACK PathList::ListProc(HWND list, UINT message, WPARAM wParam, LPARAM lParam) {
  auto* self = reinterpret_cast<PathList*>(GetWindowLongPtrA(list, GWLP_USERDATA));
  WNDPROC own = self->listProc_;
  if (message >= WM_MOUSEFIRST && message <= WM_MOUSELAST && self->tip_ != nullptr) {
    // The tip is the list's, not one per row: a move to another row takes
    // the tip down, so that the next one is asked for that row.
    POINT at{static_cast<short>(LOWORD(lParam)), static_cast<short>(HIWORD(lParam))};
    if (message == WM_MOUSEMOVE && self->tipRow_ >= 0) {
      POINT screen = at;
      ClientToScreen(list, &screen);
      if (self->RowAt(screen) != self->tipRow_) {
        self->tipRow_ = -1;
        SendMessageA(self->tip_, TTM_ACTIVATE, FALSE, 0);
        SendMessageA(self->tip_, TTM_ACTIVATE, TRUE, 0);
      }
    }
    MSG relayed{list, message, wParam, lParam, 0, at};
    SendMessageA(self->tip_, TTM_RELAYEVENT, 0, reinterpret_cast<LPARAM>(&relayed));
  } else if (message == WM_PAINT && self->Count() == 0 && GetFocus() == list) {
    // A list without rows shows no focus of its own: a dotted frame inside
    // its border says that the keys now go to it.
    LRESULT painted = CallWindowProcA(own, list, message, wParam, lParam);
    RECT area{};
    GetClientRect(list, &area);
    InflateRect(&area, -2, -2);
    HDC dc = GetDC(list);
    if (dc != nullptr) {
      DrawFocusRect(dc, &area);
      ReleaseDC(list, dc);
    }
    return painted;
  } else if ((message == WM_SETFOCUS || message == WM_KILLFOCUS) && self->Count() == 0) {
    InvalidateRect(list, nullptr, TRUE);
  } else if (message == WM_NCDESTROY) {
    SetWindowLongPtrA(list, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(own));
    self->list_ = nullptr;
  }
  return CallWindowProcA(own, list, message, wParam, lParam);
}

void PathList::TakeColumnWidth() {
  textWidth_ = static_cast<int>(SendMessageA(list_, LVM_GETCOLUMNWIDTH, 0, 0)) - kCellPadding;
}

std::string PathList::Fit(const std::string& path) const {
  if (measure_ == nullptr) return path;
  // A path that fits even in the font's widest character costs no measure.
  if (widestCharacter_ > 0 &&
      path.size() <= static_cast<size_t>(std::max(textWidth_, 0) / widestCharacter_)) {
    return path;
  }
  return FitPathToWidth(measure_, textWidth_, path);
}

void PathList::Insert(int row, const std::string& path, const std::string& status,
                      const std::string& reason) {
  std::string shown = Fit(path);
  int at = -1;
  if (WideWindows()) {
    std::wstring wide = WideText(shown);
    LVITEMW item{};
    item.mask = LVIF_TEXT;
    item.iItem = row;
    item.pszText = wide.data();
    at = static_cast<int>(SendMessageA(list_, LVM_INSERTITEMW, 0, reinterpret_cast<LPARAM>(&item)));
  } else {
    LVITEMA item{};
    item.mask = LVIF_TEXT;
    item.iItem = row;
    item.pszText = shown.data();
    at = static_cast<int>(SendMessageA(list_, LVM_INSERTITEMA, 0, reinterpret_cast<LPARAM>(&item)));
  }
  if (at < 0 || at > Count()) return;
  paths_.insert(paths_.begin() + at, path);
  reasons_.insert(reasons_.begin() + at, reason);
  if (!status.empty()) SetCell(list_, at, 1, status);
}

void PathList::Remove(int row) {
  if (row < 0 || row >= Count()) return;
  SendMessageA(list_, LVM_DELETEITEM, static_cast<WPARAM>(row), 0);
  paths_.erase(paths_.begin() + row);
  reasons_.erase(reasons_.begin() + row);
}

void PathList::Clear() {
  SendMessageA(list_, LVM_DELETEALLITEMS, 0, 0);
  paths_.clear();
  reasons_.clear();
  tipRow_ = -1;
}

int PathList::FirstSelected() const {
  return static_cast<int>(
      SendMessageA(list_, LVM_GETNEXTITEM, static_cast<WPARAM>(-1), MAKELPARAM(LVNI_SELECTED, 0)));
}

int PathList::RowAt(POINT screen) const {
  LVHITTESTINFO hit{};
  hit.pt = screen;
  ScreenToClient(list_, &hit.pt);
  hit.pt.x = kProbeX;  // the row across its whole width
  int row = static_cast<int>(SendMessageA(list_, LVM_HITTEST, 0, reinterpret_cast<LPARAM>(&hit)));
  return row >= 0 && row < Count() ? row : -1;
}

void PathList::Refit() {
  TakeColumnWidth();
  for (int row = 0; row < Count(); ++row) SetCell(list_, row, 0, Fit(At(row)));
}

bool PathList::OnNotify(const NMHDR& header) {
  if (list_ == nullptr) return false;
  if (header.hwndFrom == tip_ && (header.code == TTN_NEEDTEXTA || header.code == TTN_NEEDTEXTW)) {
    POINT cursor{};
    GetCursorPos(&cursor);
    tipRow_ = RowAt(cursor);
    // Only a shortened path, or a row with a reason, has more to show; an
    // empty text shows no tip.
    tipText_.clear();
    if (tipRow_ >= 0) {
      const bool cut = Fit(At(tipRow_)) != At(tipRow_);
      const std::string& why = reasons_[static_cast<size_t>(tipRow_)];
      // Wrapped within half the screen's width: never off its edge.
      if (cut || !why.empty()) {
        tipText_ = measure_ != nullptr
                       ? WrapPath(measure_, GetSystemMetrics(SM_CXSCREEN) / 2, At(tipRow_))
                       : At(tipRow_);
      }
      if (!why.empty()) tipText_ += "\r\n" + why;
    }
    if (header.code == TTN_NEEDTEXTW) {
      // Told wide by a wide window (NT): the names whole.
      wideTipText_ = WideText(tipText_);
      auto& info = const_cast<NMTTDISPINFOW&>(reinterpret_cast<const NMTTDISPINFOW&>(header));
      info.lpszText = wideTipText_.data();
    } else {
      auto& info = const_cast<NMTTDISPINFOA&>(reinterpret_cast<const NMTTDISPINFOA&>(header));
      info.lpszText = tipText_.data();
    }
    return true;
  }
  if (header.hwndFrom == list_ && header.code == NM_SETFOCUS && Count() > 0 &&
      SendMessageA(list_, LVM_GETNEXTITEM, static_cast<WPARAM>(-1), MAKELPARAM(LVNI_FOCUSED, 0)) <
          0) {
    // Reached by Tab with no row chosen: the first row shows the focus, so
    // that the user sees where the keys now go (it is not selected).
    LVITEMA item{};
    item.stateMask = LVIS_FOCUSED;
    item.state = LVIS_FOCUSED;
    SendMessageA(list_, LVM_SETITEMSTATE, 0, reinterpret_cast<LPARAM>(&item));
    return false;  // the dialog's own handling goes on
  }
  if (GetParent(header.hwndFrom) == list_ &&
      (header.code == HDN_ITEMCHANGEDA || header.code == HDN_ITEMCHANGEDW)) {
    Refit();  // a column's width changed
    return true;
  }
  return false;
}

}  // namespace ui
