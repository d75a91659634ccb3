// Drives the cleaner's windows from another process, the way a user does:
// starts the program, finds its windows, presses buttons, types keys, and
// reads back titles, labels, check marks, lists and message boxes.
#pragma once

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

namespace ui_test {

// Polls `done` every few milliseconds until it holds or `timeoutMs` has
// passed; true when it held.
bool WaitUntil(const std::function<bool()>& done, DWORD timeoutMs = 30000);

// The text of a window or of a dialog's control, read with WM_GETTEXT.
std::string TextOf(HWND window);
std::string ControlText(HWND dialog, int id);
bool IsChecked(HWND dialog, int id);

// Presses a button, radio or check box of `dialog` as a click would, without
// waiting for what the click starts (a modal box, a scan).
void Press(HWND dialog, int id);
// Posts a key press (down and up) where the keyboard would deliver it: to the
// window of `window`'s thread that has the focus, else to `window` itself.
void PostKey(HWND window, WORD virtualKey);
// The same for Alt with a letter key ('A' to 'Z').
void PostAltKey(HWND window, char letter);
// Types a key (down and up) through the system's input, as the keyboard
// does: it goes to the window in front that has the focus.
void TypeKey(WORD virtualKey);
// Moves the mouse pointer to `screen`, through the system's input.
void MovePointer(POINT screen);
// Clicks the middle of a control of `dialog` with the mouse, through the
// system's input as a user's click, which a disabled window does not take.
// `dialog` is raised first, and boxes it owns over that point are moved
// aside.
void Click(HWND dialog, int id);

// The window with the keyboard focus, and the active window, of `window`'s
// thread (nullptr when it has none).
HWND FocusOf(HWND window);
HWND ActiveOf(HWND window);

// One running copy of the cleaner, started in the constructor and ended in
// the destructor if it still runs then.
class Cleaner {
 public:
  // `browseAnswers` becomes KRIZCLEAN_BROWSE_ANSWERS when not empty; the
  // program starts in the folder `startIn` (the driver's own when empty).
  explicit Cleaner(const std::string& arguments, const std::string& browseAnswers = {},
                   const std::string& startIn = {});
  ~Cleaner();
  Cleaner(const Cleaner&) = delete;
  Cleaner& operator=(const Cleaner&) = delete;

  bool started() const { return process_.hProcess != nullptr; }

  // Waits for the window and returns it, or nullptr after the time-out.
  HWND MainWindow();
  // The infection prompt: the dialog with a "Disinfect" button.
  HWND WaitForPrompt();
  // A message box: a dialog of the program that is neither the main window
  // nor the prompt.
  HWND WaitForMessageBox();
  // The message box now open, or nullptr.
  HWND OpenMessageBox() const;
  // Every window of the program now open but the main window: message boxes
  // and prompts.
  std::vector<HWND> OpenBoxes() const;

  // Rows of a list view of the program, each with `columns` cells.
  std::vector<std::vector<std::string>> ListRows(HWND list, int columns) const;
  int RowCount(HWND list) const;
  // The titles of a list view's columns.
  std::vector<std::string> ColumnTitles(HWND list, int columns) const;
  // Selects `row` of a list view, and only it.
  void SelectRow(HWND list, int row) const;
  // The screen rectangle of `row` of a list view.
  RECT RowRect(HWND list, int row) const;
  // The text of the program's tip now shown (empty when none is).
  std::string ShownTip() const;
  // The program's windows of the class tip windows have.
  std::vector<HWND> Tips() const;

  // Waits for the program to end; false after the time-out. Fails the
  // current test if a message box opens meanwhile (it is then closed).
  bool WaitForExitWithoutBox(DWORD& exitCode, DWORD timeoutMs = 60000);
  bool WaitForExit(DWORD& exitCode, DWORD timeoutMs = 30000);

 private:
  std::vector<HWND> Dialogs() const;

  PROCESS_INFORMATION process_{};
  HWND main_ = nullptr;
};

// The text of a message box: its static control 0xFFFF.
std::string MessageBoxText(HWND box);

// Whether `window` is wide enough to show its title whole in the system's
// caption font, beside the close box.
bool CaptionFits(HWND window);

// Saves what the screen shows of `window` as a bitmap file NAME.bmp in the
// folder KRIZ_SCREENSHOT_DIR names; does nothing when that is not set.
void SaveScreenshot(HWND window, const std::string& name);

}  // namespace ui_test
