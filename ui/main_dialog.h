// The main window: the user's choices, the two lists, the progress labels,
// and the handlers that start, drive and stop a scan.
#pragma once

#include <windows.h>

#include <string>

namespace ui {

// Timer that drives a scan: one tick per millisecond while a scan runs.
inline constexpr UINT_PTR kScanTimerId = 6935;
inline constexpr UINT kScanTimerPeriod = 1;

class MainDialog {
 public:
  explicit MainDialog(HINSTANCE instance);
  // Runs the window modally until it closes; the dialog's result.
  INT_PTR Run();
  HWND hwnd() const { return hwnd_; }

  // Window handlers.
  BOOL InitMainDialog();
  void OnAddPath();
  void OnRemovePath();
  void AddStatusLine(const std::string& line);
  void OnPaint();

  // Scan control (scan_controller.cpp).
  void OnStartScan();
  void OnStopScan();
  void OnExit();
  void OnScanTimer(UINT_PTR timerId);

 private:
  static INT_PTR CALLBACK Procedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
  INT_PTR Dispatch(UINT message, WPARAM wParam, LPARAM lParam);
  void OnCommand(WORD id);
  // Moves the lines waiting in the status ring into the scanned-files list.
  void DrainStatusLines();
  // Shows `path` in the label of the object in work.
  void ShowObject(const std::string& path);
  // Makes the next root the current directory; false when none is left.
  bool EnterNextRoot();
  void EndScan();
  std::string PathRow(int row) const;

  HINSTANCE instance_;
  HWND hwnd_ = nullptr;
  HWND pathsList_ = nullptr;
  HWND filesList_ = nullptr;
  HICON icon_ = nullptr;
  std::string shownObject_;
};

// "Scan only *.exe, Kernel32.dll and Krized.tt6 files".
const char* FileTypeLabel();

// Sets `window`'s title from `format` ("Varnex %s cleaner") and the virus name.
void SetCleanerTitle(HWND window, const char* format);

// The program file's name without its extension: the caption of the boxes
// the application titles itself.
std::string ApplicationName();

}  // namespace ui
