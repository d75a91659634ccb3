// The main window: the user's choices, the two lists, the progress labels,
// and the handlers that start, drive and stop a scan.
#pragma once

#include <windows.h>

#include <string>
#include <string_view>
#include <vector>

#include "repair/memory_step.h"
#include "scan/report.h"
#include "scan/scan.h"
#include "ui/folder_browser.h"
#include "ui/path_list.h"
#include "ui/status_queue.h"
#include "ui/switches.h"

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

// The window's result when it refused to start (a command line it cannot
// take, a backup folder it cannot use): the program then ends with 2.
inline constexpr INT_PTR kStartRefused = 100;

class MainDialog {
 public:
  // The window drives `scan` (the program's one scan), whose prompt and
  // messages it takes over, and runs the memory step with `memory`, whose
  // questions and end of the scan it supplies; `scan` outlives it.
  MainDialog(HINSTANCE instance, scan::Scan& scan, repair::MemoryStepServices memory);
  // Runs the window modally until it closes; the dialog's result.
  INT_PTR Run();
  HWND hwnd() const { return hwnd_; }

  // Window handlers.
  BOOL InitMainDialog();
  // Takes the folder of "/Backup:DIR", made absolute against the folder the
  // program started in and made when missing, for the scans to keep each
  // infected original in. False (told to the user) when it cannot be used.
  bool KeepBackupsAsAsked(const std::string& folder);
  void OnAddPath();
  void OnRemovePath();
  // Appends a row for a status line; DrainStatusLines scrolls the last row
  // of each batch into view.
  void AddStatusRow(const StatusRow& row);
  void OnPaint();

  // The prompt about an infected object and the scan's messages: shown on
  // the window's thread, owned by the window (which takes no click while one
  // is up), from whichever thread asks.
  int32_t Ask(std::string_view object);
  void Tell(const char* text, const char* caption);

  // Scan control (scan_controller.cpp).
  void OnStartScan();
  void OnStopScan();
  void OnExit();
  // The close box: during a scan it stops the scan, and the window closes
  // once the report is dismissed.
  void OnClose();
  void OnScanTimer(UINT_PTR timerId);

 private:
  static INT_PTR CALLBACK Procedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
  INT_PTR Dispatch(UINT message, WPARAM wParam, LPARAM lParam);
  void OnCommand(WORD id);
  bool OnWindowThread() const;
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
  // Gives the row of a listed folder that cannot be walked its reason.
  void ExplainUnreachable(const std::string& root);
  void EndScan();

  HINSTANCE instance_;
  scan::Scan& scan_;
  repair::MemoryStepServices memory_;
  Switches switches_;
  HWND hwnd_ = nullptr;
  HWND filesList_ = nullptr;
  PathList paths_;
  PathList files_;
  HICON icon_ = nullptr;
  ScriptedFolders scriptedFolders_;  // the window's tests' answers to Add path
  // The listed paths as they stood at START SCAN: the scan walks these,
  // whatever is added to or removed from the list meanwhile.
  std::vector<std::string> roots_;
  std::string root_;  // the root the worker walks now
  // The window has said why root_ cannot be walked (set before the worker
  // starts): the walk's own word for it is not added.
  bool rootExplained_ = false;
  StatusQueue statusRows_;      // from the worker to the list
  HWND scanIsOnBox_ = nullptr;  // the "Scan is on" box while it is up
  bool closeAfterScan_ = false;
  std::string shownObject_;
  bool listHeld_ = false;  // the list's redrawing is held for rows to come
  DWORD listShown_ = 0;    // when the list last showed its new rows
};

// "Scan only *.exe, Kernel32.dll and Krized.tt6 files".
const char* FileTypeLabel();

// "Varnex Win32.Kriz.4050 cleaner": the main window's title and the caption
// of every box of the program.
std::string CleanerTitle();

// Sets `window`'s title from `format` ("Varnex %s cleaner") and the virus name.
void SetCleanerTitle(HWND window, const char* format);

}  // namespace ui
