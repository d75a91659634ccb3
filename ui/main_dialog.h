// The main window: the user's choices, the two lists, the progress labels,
// and the handlers that start, drive and stop a scan.
#pragma once

#include <windows.h>

#include <string>

#include "repair/memory_step.h"
#include "scan/scan.h"
#include "ui/folder_browser.h"

namespace ui {

// Timer that drives a scan: one tick per millisecond while a scan runs.
inline constexpr UINT_PTR kScanTimerId = 6935;
inline constexpr UINT kScanTimerPeriod = 1;
// How long one tick may spend moving status lines into the list; how many
// 1 ms waits for the next line it makes before it ends; how often the list
// shows the rows that came in meanwhile.
inline constexpr DWORD kDrainBudgetMs = 50;
inline constexpr int kDrainIdleWaits = 10;
inline constexpr DWORD kListRedrawMs = 100;

class MainDialog {
 public:
  // The window drives `scan` (the program's one scan) and runs the memory
  // step with `memory`; both outlive it.
  MainDialog(HINSTANCE instance, scan::Scan& scan, const repair::MemoryStepServices& memory);
  // Runs the window modally until it closes; the dialog's result.
  INT_PTR Run();
  HWND hwnd() const { return hwnd_; }

  // Window handlers.
  BOOL InitMainDialog();
  // Takes the folder of "/Backup:DIR", made when missing, for the scans to
  // keep each infected original in. False (told to the user) when the folder
  // cannot be used.
  bool KeepBackupsAsAsked();
  void OnAddPath();
  void OnRemovePath();
  // Appends a row for a status line; DrainStatusLines scrolls the last row
  // of each batch into view.
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
  // Moves the lines of the status ring into the scanned-files list as they
  // come, until none comes or `budgetMs` has passed: a tick that took longer
  // would keep Stop scan and Exit waiting. The list shows the new rows every
  // kListRedrawMs, and at once when `budgetMs` is INFINITE (the last drain of
  // a root).
  void DrainStatusLines(DWORD budgetMs);
  // Redraws the list and scrolls its last row into view.
  void ShowNewRows();
  // Shows `path` in the label of the object in work.
  void ShowObject(const std::string& path);
  // Makes the next root the current directory; false when none is left.
  bool EnterNextRoot();
  void EndScan();
  std::string PathRow(int row) const;

  HINSTANCE instance_;
  scan::Scan& scan_;
  const repair::MemoryStepServices& memory_;
  HWND hwnd_ = nullptr;
  HWND pathsList_ = nullptr;
  HWND filesList_ = nullptr;
  HICON icon_ = nullptr;
  ScriptedFolders scriptedFolders_;  // the window's tests' answers to Add path
  std::string shownObject_;
  bool listHeld_ = false;  // the list's redrawing is held for rows to come
  DWORD listShown_ = 0;    // when the list last showed its new rows
};

// "Scan only *.exe, Kernel32.dll and Krized.tt6 files".
const char* FileTypeLabel();

// Sets `window`'s title from `format` ("Varnex %s cleaner") and the virus name.
void SetCleanerTitle(HWND window, const char* format);

// The program file's name without its extension: the caption of the boxes
// the application titles itself.
std::string ApplicationName();

}  // namespace ui
