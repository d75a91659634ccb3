#include "tests/ui_driver.h"

#include <commctrl.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

namespace ui_test {
namespace {

constexpr int kMainStartButton = 1000;
constexpr int kPromptDisinfectButton = 1018;
constexpr int kMessageBoxText = 0xFFFF;
constexpr size_t kTextSize = 1024;

// A block of memory inside the cleaner's process, for the list-view messages
// whose parameters point at memory of the process that owns the list. The
// structures are written there in the driver's own layout: the cleaner driven
// is always the one of the driver's build, so 32-bit with 32-bit and 64-bit
// with 64-bit, and pointer-sized fields agree.
class RemoteBuffer {
 public:
  RemoteBuffer(HANDLE process, size_t size)
      : process_(process),
        address_(VirtualAllocEx(process, nullptr, size, MEM_COMMIT, PAGE_READWRITE)) {}
  ~RemoteBuffer() {
    if (address_ != nullptr) VirtualFreeEx(process_, address_, 0, MEM_RELEASE);
  }
  RemoteBuffer(const RemoteBuffer&) = delete;
  RemoteBuffer& operator=(const RemoteBuffer&) = delete;

  bool ok() const { return address_ != nullptr; }
  char* at(size_t offset) const { return static_cast<char*>(address_) + offset; }
  bool Write(size_t offset, const void* data, size_t size) const {
    return WriteProcessMemory(process_, at(offset), data, size, nullptr) != 0;
  }
  std::string ReadText(size_t offset, size_t size) const {
    std::string text(size, '\0');
    if (!ReadProcessMemory(process_, at(offset), text.data(), size, nullptr)) return {};
    text.resize(std::strlen(text.c_str()));
    return text;
  }

 private:
  HANDLE process_;
  void* address_;
};

bool HasControl(HWND dialog, int id) { return GetDlgItem(dialog, id) != nullptr; }

// The top-level windows of one process and of one class (visible ones only,
// unless `hidden` is set).
struct WindowSearch {
  DWORD processId;
  const char* className;
  bool hidden = false;
  std::vector<HWND> found;
};

BOOL CALLBACK CollectWindow(HWND window, LPARAM parameter) {
  auto* search = reinterpret_cast<WindowSearch*>(parameter);
  DWORD owner = 0;
  GetWindowThreadProcessId(window, &owner);
  char className[32] = {};
  GetClassNameA(window, className, sizeof className);
  if (owner == search->processId && (search->hidden || IsWindowVisible(window)) &&
      _stricmp(className, search->className) == 0) {
    search->found.push_back(window);
  }
  return TRUE;
}

// The dialogs' class.
constexpr char kDialogClass[] = "#32770";

}  // namespace

bool WaitUntil(const std::function<bool()>& done, DWORD timeoutMs) {
  DWORD start = GetTickCount();
  for (;;) {
    if (done()) return true;
    if (GetTickCount() - start > timeoutMs) return false;
    Sleep(5);
  }
}

// UTF-16 to UTF-8: the program's names on NT, whatever the code page.
static std::string Utf8(const wchar_t* text, size_t length) {
  if (length == 0) return {};
  int size =
      WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(length), nullptr, 0, nullptr, nullptr);
  std::string utf8(static_cast<size_t>(size > 0 ? size : 0), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(length), utf8.data(), size, nullptr,
                      nullptr);
  return utf8;
}

std::string TextOf(HWND window) {
  // Read wide, as the window holds it: an ANSI read would turn every
  // character outside the code page into "?".
  wchar_t text[kTextSize] = {};
  LRESULT length = SendMessageW(window, WM_GETTEXT, kTextSize, reinterpret_cast<LPARAM>(text));
  return Utf8(text, length > 0 ? static_cast<size_t>(length) : 0);
}

std::string ControlText(HWND dialog, int id) { return TextOf(GetDlgItem(dialog, id)); }

bool IsChecked(HWND dialog, int id) {
  return SendDlgItemMessageA(dialog, id, BM_GETCHECK, 0, 0) == BST_CHECKED;
}

void Press(HWND dialog, int id) { PostMessageA(GetDlgItem(dialog, id), BM_CLICK, 0, 0); }

namespace {

// Where the keyboard delivers a key for `window`'s thread.
HWND KeyTarget(HWND window) {
  GUITHREADINFO thread{};
  thread.cbSize = sizeof thread;
  if (GetGUIThreadInfo(GetWindowThreadProcessId(window, nullptr), &thread) &&
      thread.hwndFocus != nullptr) {
    return thread.hwndFocus;
  }
  return window;
}

void PostPress(HWND target, UINT down, UINT up, WORD virtualKey, LPARAM flags) {
  LPARAM scanCode = static_cast<LPARAM>(MapVirtualKeyA(virtualKey, 0)) << 16;
  PostMessageA(target, down, virtualKey, scanCode | 1 | flags);
  PostMessageA(target, up, virtualKey, scanCode | 1 | flags | (LPARAM{3} << 30));
}

}  // namespace

void PostKey(HWND window, WORD virtualKey) {
  PostPress(KeyTarget(window), WM_KEYDOWN, WM_KEYUP, virtualKey, 0);
}

void PostAltKey(HWND window, char letter) {
  constexpr LPARAM kAltHeld = LPARAM{1} << 29;
  PostPress(KeyTarget(window), WM_SYSKEYDOWN, WM_SYSKEYUP, static_cast<WORD>(letter), kAltHeld);
}

void TypeKey(WORD virtualKey) {
  INPUT keys[2]{};
  for (INPUT& key : keys) {
    key.type = INPUT_KEYBOARD;
    key.ki.wVk = virtualKey;
    key.ki.wScan = static_cast<WORD>(MapVirtualKeyA(virtualKey, 0));
  }
  keys[1].ki.dwFlags = KEYEVENTF_KEYUP;
  SendInput(2, keys, sizeof(INPUT));
}

void MovePointer(POINT screen) {
  SetCursorPos(screen.x, screen.y);
  INPUT move{};
  move.type = INPUT_MOUSE;
  move.mi.dx = MulDiv(screen.x, 65535, GetSystemMetrics(SM_CXSCREEN) - 1);
  move.mi.dy = MulDiv(screen.y, 65535, GetSystemMetrics(SM_CYSCREEN) - 1);
  move.mi.dwFlags = MOUSEEVENTF_MOVE | MOUSEEVENTF_ABSOLUTE;
  SendInput(1, &move, sizeof(INPUT));
}

void Click(HWND dialog, int id) {
  HWND control = GetDlgItem(dialog, id);
  RECT area;
  if (!GetWindowRect(control, &area)) {
    ADD_FAILURE() << "no control " << id;
    return;
  }
  POINT middle{(area.left + area.right) / 2, (area.top + area.bottom) / 2};
  // Another window over the control would take the click itself: `dialog`
  // goes on top, and a box that it owns, which stays above it, moves to the
  // screen's far corner when it is over the control.
  SetWindowPos(dialog, HWND_TOP, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
  DWORD processId = 0;
  GetWindowThreadProcessId(dialog, &processId);
  WindowSearch search{processId, kDialogClass, false, {}};
  EnumWindows(CollectWindow, reinterpret_cast<LPARAM>(&search));
  for (HWND box : search.found) {
    RECT boxArea;
    if (GetWindow(box, GW_OWNER) != dialog || !GetWindowRect(box, &boxArea) ||
        !PtInRect(&boxArea, middle)) {
      continue;
    }
    int x = middle.x < GetSystemMetrics(SM_CXSCREEN) / 2
                ? GetSystemMetrics(SM_CXSCREEN) - 1 - (boxArea.right - boxArea.left)
                : 0;
    int y = middle.y < GetSystemMetrics(SM_CYSCREEN) / 2
                ? GetSystemMetrics(SM_CYSCREEN) - 1 - (boxArea.bottom - boxArea.top)
                : 0;
    SetWindowPos(box, nullptr, x, y, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
    WaitUntil([&] {
      GetWindowRect(box, &boxArea);
      return !PtInRect(&boxArea, middle);
    });
  }
  // The press carries its own position: the system takes the pointer there
  // with the press itself, not after it.
  SetCursorPos(middle.x, middle.y);
  LONG x = MulDiv(middle.x, 65535, GetSystemMetrics(SM_CXSCREEN) - 1);
  LONG y = MulDiv(middle.y, 65535, GetSystemMetrics(SM_CYSCREEN) - 1);
  INPUT press[2] = {};
  for (INPUT& input : press) {
    input.type = INPUT_MOUSE;
    input.mi.dx = x;
    input.mi.dy = y;
  }
  press[0].mi.dwFlags = MOUSEEVENTF_MOVE | MOUSEEVENTF_ABSOLUTE | MOUSEEVENTF_LEFTDOWN;
  press[1].mi.dwFlags = MOUSEEVENTF_MOVE | MOUSEEVENTF_ABSOLUTE | MOUSEEVENTF_LEFTUP;
  SendInput(2, press, sizeof(INPUT));
}

HWND FocusOf(HWND window) {
  GUITHREADINFO thread{};
  thread.cbSize = sizeof thread;
  if (!GetGUIThreadInfo(GetWindowThreadProcessId(window, nullptr), &thread)) return nullptr;
  return thread.hwndFocus;
}

HWND ActiveOf(HWND window) {
  GUITHREADINFO thread{};
  thread.cbSize = sizeof thread;
  if (!GetGUIThreadInfo(GetWindowThreadProcessId(window, nullptr), &thread)) return nullptr;
  return thread.hwndActive;
}

std::string MessageBoxText(HWND box) { return ControlText(box, kMessageBoxText); }

bool CaptionFits(HWND window) {
  NONCLIENTMETRICSA metrics{};
  metrics.cbSize = sizeof metrics;
  if (!SystemParametersInfoA(SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics, 0)) return false;
  HFONT font = CreateFontIndirectA(&metrics.lfCaptionFont);
  HDC dc = GetDC(nullptr);
  HGDIOBJ previous = SelectObject(dc, font);
  std::string title = TextOf(window);
  SIZE extent{};
  GetTextExtentPoint32A(dc, title.c_str(), static_cast<int>(title.size()), &extent);
  SelectObject(dc, previous);
  ReleaseDC(nullptr, dc);
  DeleteObject(font);
  RECT area;
  GetWindowRect(window, &area);
  // The frame on both sides, the close box, and a few pixels between them.
  int needed = extent.cx + metrics.iCaptionWidth + 2 * GetSystemMetrics(SM_CXDLGFRAME) + 8;
  return area.right - area.left >= needed;
}

Cleaner::Cleaner(const std::string& arguments, const std::string& browseAnswers,
                 const std::string& startIn) {
  const char* program = std::getenv("KRIZ_CLEANER");
  if (program == nullptr) {
    ADD_FAILURE() << "KRIZ_CLEANER does not name krizclean.exe";
    return;
  }
  std::string commandLine = "\"" + std::string(program) + "\"";
  if (!arguments.empty()) commandLine += " " + arguments;
  SetEnvironmentVariableA("KRIZCLEAN_BROWSE_ANSWERS",
                          browseAnswers.empty() ? nullptr : browseAnswers.c_str());
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  if (!CreateProcessA(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                      startIn.empty() ? nullptr : startIn.c_str(), &startup, &process_)) {
    ADD_FAILURE() << "cannot start " << commandLine << ": error " << GetLastError();
    process_ = {};
  }
  SetEnvironmentVariableA("KRIZCLEAN_BROWSE_ANSWERS", nullptr);
}

Cleaner::~Cleaner() {
  if (process_.hProcess == nullptr) return;
  if (WaitForSingleObject(process_.hProcess, 0) == WAIT_TIMEOUT) {
    TerminateProcess(process_.hProcess, 1);  // a failed test left it open
    WaitForSingleObject(process_.hProcess, 10000);
  }
  CloseHandle(process_.hThread);
  CloseHandle(process_.hProcess);
}

std::vector<HWND> Cleaner::Dialogs() const {
  WindowSearch search{process_.dwProcessId, kDialogClass, false, {}};
  if (started()) EnumWindows(CollectWindow, reinterpret_cast<LPARAM>(&search));
  return search.found;
}

HWND Cleaner::MainWindow() {
  if (main_ != nullptr) return main_;
  WaitUntil([this] {
    for (HWND dialog : Dialogs()) {
      if (HasControl(dialog, kMainStartButton)) main_ = dialog;
    }
    return main_ != nullptr;
  });
  return main_;
}

HWND Cleaner::WaitForPrompt() {
  HWND prompt = nullptr;
  WaitUntil([&] {
    for (HWND dialog : Dialogs()) {
      if (HasControl(dialog, kPromptDisinfectButton)) prompt = dialog;
    }
    return prompt != nullptr;
  });
  return prompt;
}

std::vector<HWND> Cleaner::OpenBoxes() const {
  std::vector<HWND> boxes;
  for (HWND dialog : Dialogs()) {
    if (!HasControl(dialog, kMainStartButton)) boxes.push_back(dialog);
  }
  return boxes;
}

HWND Cleaner::OpenMessageBox() const {
  for (HWND box : OpenBoxes()) {
    if (!HasControl(box, kPromptDisinfectButton)) return box;
  }
  return nullptr;
}

HWND Cleaner::WaitForMessageBox() {
  HWND box = nullptr;
  WaitUntil([&] {
    box = OpenMessageBox();
    return box != nullptr;
  });
  return box;
}

int Cleaner::RowCount(HWND list) const {
  return static_cast<int>(SendMessageA(list, LVM_GETITEMCOUNT, 0, 0));
}

std::vector<std::vector<std::string>> Cleaner::ListRows(HWND list, int columns) const {
  std::vector<std::vector<std::string>> rows;
  const size_t textBytes = kTextSize * sizeof(wchar_t);
  RemoteBuffer remote(process_.hProcess, sizeof(LVITEMW) + textBytes);
  if (!remote.ok()) {
    ADD_FAILURE() << "no memory in the cleaner's process: error " << GetLastError();
    return rows;
  }
  int count = RowCount(list);
  for (int row = 0; row < count; ++row) {
    std::vector<std::string> cells;
    for (int column = 0; column < columns; ++column) {
      LVITEMW item{};
      item.iSubItem = column;
      item.pszText = reinterpret_cast<wchar_t*>(remote.at(sizeof(LVITEMW)));
      item.cchTextMax = static_cast<int>(kTextSize);
      wchar_t empty = L'\0';
      remote.Write(0, &item, sizeof item);
      remote.Write(sizeof(LVITEMW), &empty, sizeof empty);
      SendMessageW(list, LVM_GETITEMTEXTW, static_cast<WPARAM>(row),
                   reinterpret_cast<LPARAM>(remote.at(0)));
      std::wstring text(kTextSize, L'\0');
      ReadProcessMemory(process_.hProcess, remote.at(sizeof(LVITEMW)), text.data(), textBytes,
                        nullptr);
      cells.push_back(Utf8(text.c_str(), wcsnlen(text.c_str(), kTextSize)));
    }
    rows.push_back(cells);
  }
  return rows;
}

std::vector<std::string> Cleaner::ColumnTitles(HWND list, int columns) const {
  std::vector<std::string> titles;
  RemoteBuffer remote(process_.hProcess, sizeof(LVCOLUMNA) + kTextSize);
  if (!remote.ok()) return titles;
  for (int column = 0; column < columns; ++column) {
    LVCOLUMNA header{};
    header.mask = LVCF_TEXT;
    header.pszText = remote.at(sizeof(LVCOLUMNA));
    header.cchTextMax = static_cast<int>(kTextSize);
    char empty = '\0';
    remote.Write(0, &header, sizeof header);
    remote.Write(sizeof(LVCOLUMNA), &empty, 1);
    if (!SendMessageA(list, LVM_GETCOLUMNA, static_cast<WPARAM>(column),
                      reinterpret_cast<LPARAM>(remote.at(0)))) {
      break;
    }
    titles.push_back(remote.ReadText(sizeof(LVCOLUMNA), kTextSize));
  }
  return titles;
}

void Cleaner::SelectRow(HWND list, int row) const {
  RemoteBuffer remote(process_.hProcess, sizeof(LVITEMA));
  if (!remote.ok()) return;
  LVITEMA item{};
  item.stateMask = LVIS_SELECTED | LVIS_FOCUSED;
  item.state = 0;
  remote.Write(0, &item, sizeof item);
  SendMessageA(list, LVM_SETITEMSTATE, static_cast<WPARAM>(-1),
               reinterpret_cast<LPARAM>(remote.at(0)));
  item.state = LVIS_SELECTED | LVIS_FOCUSED;
  remote.Write(0, &item, sizeof item);
  SendMessageA(list, LVM_SETITEMSTATE, static_cast<WPARAM>(row),
               reinterpret_cast<LPARAM>(remote.at(0)));
}

RECT Cleaner::RowRect(HWND list, int row) const {
  RECT area{LVIR_BOUNDS, 0, 0, 0};
  RemoteBuffer remote(process_.hProcess, sizeof(RECT));
  if (!remote.ok()) return area;
  remote.Write(0, &area, sizeof area);
  SendMessageA(list, LVM_GETITEMRECT, static_cast<WPARAM>(row),
               reinterpret_cast<LPARAM>(remote.at(0)));
  ReadProcessMemory(process_.hProcess, remote.at(0), &area, sizeof area, nullptr);
  MapWindowPoints(list, nullptr, reinterpret_cast<POINT*>(&area), 2);
  return area;
}

std::vector<HWND> Cleaner::Tips() const {
  WindowSearch search{process_.dwProcessId, TOOLTIPS_CLASSA, true, {}};
  if (started()) EnumWindows(CollectWindow, reinterpret_cast<LPARAM>(&search));
  return search.found;
}

std::string Cleaner::ShownTip() const {
  for (HWND tip : Tips()) {
    if (IsWindowVisible(tip)) return TextOf(tip);
  }
  return {};
}

bool Cleaner::WaitForExit(DWORD& exitCode, DWORD timeoutMs) {
  if (!started() || WaitForSingleObject(process_.hProcess, timeoutMs) != WAIT_OBJECT_0) {
    return false;
  }
  return GetExitCodeProcess(process_.hProcess, &exitCode) != 0;
}

bool Cleaner::WaitForExitWithoutBox(DWORD& exitCode, DWORD timeoutMs) {
  if (!started()) return false;
  bool ended = WaitUntil(
      [&] {
        if (HWND box = OpenMessageBox()) {
          ADD_FAILURE() << "a message box \"" << TextOf(box)
                        << "\" opened: " << MessageBoxText(box);
          Press(box, IDOK);
          WaitUntil([box] { return !IsWindow(box); }, 5000);
        }
        return WaitForSingleObject(process_.hProcess, 0) == WAIT_OBJECT_0;
      },
      timeoutMs);
  return ended && GetExitCodeProcess(process_.hProcess, &exitCode) != 0;
}

}  // namespace ui_test
