// The scan controller: starting a scan, the timer tick that drains status
// lines and starts one worker per root, stopping and exiting.
#include <windows.h>

#include <commctrl.h>

#include "os/directory.h"
#include "repair/memory_step.h"
#include "scan/outcome.h"
#include "scan/scan_state.h"
#include "scan/status_ring.h"
#include "scan/walk.h"
#include "ui/end_of_scan.h"
#include "ui/fit_path.h"
#include "ui/main_dialog.h"
#include "ui/message_box.h"
#include "ui/resource_ids.h"
#include "ui/ui_texts.h"

namespace ui {
namespace {

// What a worker walks: the scan and its root, which the window keeps
// unchanged until the worker is done.
struct WorkerTask {
  scan::Scan* scan;
  const std::string* root;
};

// The worker: one walk of a root, folder by folder from held folders and by
// full paths, so that no path is too long for it. Its last write is
// rootDone, after scanAborted, so a tick that sees the root done also sees
// how it ended.
DWORD WINAPI ScanThreadMain(LPVOID parameter) {
  const WorkerTask task = *static_cast<const WorkerTask*>(parameter);
  delete static_cast<const WorkerTask*>(parameter);
  scan::ScanState& state = task.scan->state();
  if (scan::WalkTree(*task.scan, *task.root, *task.root) == scan::RootResult::Stopped) {
    state.setScanAborted(1);
  }
  state.setRootDone(1);
  return 0;
}

// Why a listed folder cannot be walked, or empty when it can be entered.
std::string WhyNotWalked(const std::string& root) {
  if (os::Folder::Open(root).IsOpen()) return std::string();
  std::string name;
  const os::Folder parent = os::Folder::OpenParent(root, false, name);
  if (!parent.IsOpen() || parent.Look(name).kind == os::EntryInfo::Kind::Missing) {
    return "it does not exist";
  }
  if (parent.Look(name).kind != os::EntryInfo::Kind::Folder) return "it is not a folder";
  return "it cannot be entered";
}

bool IsChecked(HWND window, int id) { return IsDlgButtonChecked(window, id) == BST_CHECKED; }

}  // namespace

void MainDialog::OnStartScan() {
  scan::ScanState& state = scan_.state();
  if (state.scanRunning() != 0) {
    // One box at a time, and it ends with the scan (EndScan): it speaks of a
    // scan that is on.
    if (scanIsOnBox_ == nullptr) ShowBox(hwnd_, texts::kScanIsOn, {}, &scanIsOnBox_);
    return;
  }
  // The window is scanning from here to the end of the report: the memory and
  // registry steps show boxes whose message loops would otherwise take a
  // second START SCAN and run a second scan inside the first.
  state.setScanRunning(1);
  files_.Clear();
  statusRows_.Clear();
  roots_ = paths_.Paths();
  state.setSelectedTypesOnly(IsChecked(hwnd_, IDC_ALL_FILES) ? 0 : 1);
  state.setActionMode(IsChecked(hwnd_, IDC_ACTION_SCAN_ONLY) ? scan::ActionMode::ScanOnly
                      : IsChecked(hwnd_, IDC_ACTION_ASK)     ? scan::ActionMode::AskUser
                                                             : scan::ActionMode::Clean);
  state.setShowAllFiles(IsChecked(hwnd_, IDC_SHOW_ALL) ? 1 : 0);
  state.setRingWriteIndex(0);
  state.setRingReadIndex(0);
  state.setRingRetryCount(0);
  state.ResetStatusRing();
  state.ResetCounters();

  if (repair::MemoryStep(scan_, memory_) == 0 || repair::RegistryStep(scan_) == 0) {
    state.setScanRunning(0);
    return;
  }

  state.setRootDone(1);
  state.setBootRenameNeeded(0);
  state.setStopRequested(0);
  state.setScanAborted(0);
  SetDlgItemTextA(hwnd_, IDC_SCAN_LABEL, texts::kScanning);
  if (IsChecked(hwnd_, IDC_ALL_PATHS)) {
    state.setScanAllDrives(1);
    state.setDriveLetter('B');
  } else {
    state.setScanAllDrives(0);
    state.setRootIndex(-1);
  }
  SetTimer(hwnd_, kScanTimerId, kScanTimerPeriod, nullptr);
}

void MainDialog::OnStopScan() { scan_.state().setStopRequested(1); }

void MainDialog::OnExit() {
  scan::ScanState& state = scan_.state();
  if (state.scanRunning() != 0) {
    state.setStopRequested(1);
    return;
  }
  EndDialog(hwnd_, IDCANCEL);
}

void MainDialog::OnClose() {
  if (scan_.state().scanRunning() != 0) closeAfterScan_ = true;
  OnExit();
}

void MainDialog::OnScanTimer(UINT_PTR timerId) {
  if (timerId != kScanTimerId) return;
  KillTimer(hwnd_, kScanTimerId);
  scan::ScanState& state = scan_.state();
  ShowObject(scan_.snapshot().Read());

  DrainStatusLines(kDrainBudgetMs);
  if (state.scanRunning() == 0 || state.rootDone() == 0) {
    SetTimer(hwnd_, kScanTimerId, kScanTimerPeriod, nullptr);
    return;
  }
  // The worker has ended, and what it left in the ring (at most a ring's
  // worth) is listed now, before the next root starts or the report is shown;
  // the report would otherwise count objects the list leaves out.
  DrainStatusLines(INFINITE);
  if (state.scanAborted() != 0 || !EnterNextRoot()) {
    EndScan();
    return;
  }
  state.setRootDone(0);
  auto* task = new WorkerTask{&scan_, &root_};
  HANDLE worker = CreateThread(nullptr, 0, ScanThreadMain, task, 0, nullptr);
  if (worker == nullptr) delete task;
  if (worker != nullptr) {
    CloseHandle(worker);  // nobody waits for it; its flags say when it is done
  } else {
    // No worker: the root ends at once, as if stopped.
    state.setScanAborted(1);
    state.setRootDone(1);
  }
  SetTimer(hwnd_, kScanTimerId, kScanTimerPeriod, nullptr);
}

void MainDialog::DrainStatusLines(DWORD budgetMs) {
  StatusRow line;
  if (statusRows_.Take(line)) {
    // The list is not redrawn row by row: a row's repaint and scroll cost as
    // much as hundreds of rows, and the list, not the scan, would set the pace.
    if (!listHeld_) SendMessageA(filesList_, WM_SETREDRAW, FALSE, 0);
    listHeld_ = true;
    DWORD start = GetTickCount();
    for (int idle = 0; idle < kDrainIdleWaits;) {
      AddStatusRow(line);
      if (GetTickCount() - start >= budgetMs) break;
      // The ring holds ten lines, and the next tick is ten milliseconds or
      // more away: while the worker is listing fast, the tick waits a little
      // for its next lines rather than leave it waiting for a free slot.
      for (idle = 0; idle < kDrainIdleWaits && !statusRows_.Take(line); ++idle) Sleep(1);
    }
  }
  if (listHeld_ && (budgetMs == INFINITE || GetTickCount() - listShown_ >= kListRedrawMs)) {
    ShowNewRows();
  }
}

void MainDialog::ShowNewRows() {
  SendMessageA(filesList_, WM_SETREDRAW, TRUE, 0);
  listHeld_ = false;
  listShown_ = GetTickCount();
  int rows = static_cast<int>(SendMessageA(filesList_, LVM_GETITEMCOUNT, 0, 0));
  SendMessageA(filesList_, LVM_ENSUREVISIBLE, static_cast<WPARAM>(rows - 1), FALSE);
  InvalidateRect(filesList_, nullptr, TRUE);
}

void MainDialog::ShowObject(const std::string& path) {
  if (path == shownObject_) return;
  shownObject_ = path;
  SetPathText(GetDlgItem(hwnd_, IDC_OBJECT_LABEL), path);
}

void MainDialog::ExplainUnreachable(const std::string& root) {
  std::string why = WhyNotWalked(root);
  rootExplained_ = !why.empty();
  if (rootExplained_) statusRows_.Explain(root, why);
}

bool MainDialog::EnterNextRoot() {
  scan::ScanState& state = scan_.state();
  for (;;) {
    std::string root;
    rootExplained_ = false;
    if (state.scanAllDrives() != 0) {
      char letter = static_cast<char>(state.driveLetter() + 1);
      state.setDriveLetter(letter);
      root = std::string(1, letter) + ":\\";
      scan::SetPath(state.rootPath, root);
      if (static_cast<unsigned char>(letter) > 'Z') return false;
    } else {
      state.setRootIndex(state.rootIndex() + 1);
      if (state.rootIndex() < 0 || static_cast<size_t>(state.rootIndex()) >= roots_.size()) {
        return false;
      }
      // Every listed path is walked, or its row says why not (the walk
      // counts it): none is passed over in silence.
      root_ = roots_[static_cast<size_t>(state.rootIndex())];
      scan::SetPath(state.rootPath, scan::CutPath(root_, scan::kMaxPathLength));
      ExplainUnreachable(root_);
      return true;
    }
    // A drive letter without a drive, or without a medium, is no root.
    if (SetCurrentDirectoryA(root.c_str())) {
      root_ = root;
      return true;
    }
  }
}

void MainDialog::EndScan() {
  scan::ScanState& state = scan_.state();
  SetDlgItemTextA(hwnd_, IDC_SCAN_LABEL, "");
  ShowObject("");
  if (scanIsOnBox_ != nullptr) EndDialog(scanIsOnBox_, IDOK);
  // A walk that ended early (Stop scan, the close box, Quit) left files
  // unscanned, and the report says so.
  scan::ScanEnd end = state.scanAborted() != 0 ? scan::ScanEnd::Stopped : scan::ScanEnd::Complete;
  FinishScan(scan_, hwnd_, end);  // the report, in a message loop of its own: still scanning
  state.setScanRunning(0);
  if (closeAfterScan_) EndDialog(hwnd_, IDCANCEL);
}

}  // namespace ui
