#include "ui/end_of_scan.h"

#include <windows.h>

#include "repair/boot_installer.h"
#include "scan/report.h"
#include "scan/scan_state.h"
#include "ui/box_owner.h"

namespace ui {

void FinishScan() {
  if (!repair::InstallBootRenameProgram()) return;  // its own message stands instead
  ShowScanReport();
}

void ShowScanReport() {
  // The report belongs to the main window and carries its title: the window
  // cannot start another scan behind it, and whichever window happens to be
  // active (none, or a box of the worker's) does not lend the caption.
  HWND owner = BoxOwner();
  char caption[256] = {};
  if (owner != nullptr) GetWindowTextA(owner, caption, sizeof caption);
  std::string report = scan::BuildReport();
  if (scan::TheScanState().closeWhenDone() != 0) {
    PostQuitMessage(0);
    return;
  }
  MessageBoxA(owner, report.c_str(), caption, MB_OK);
}

}  // namespace ui
