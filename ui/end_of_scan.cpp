#include "ui/end_of_scan.h"

#include <windows.h>

#include "repair/boot_installer.h"
#include "scan/report.h"
#include "scan/scan_state.h"

namespace ui {

void FinishScan() {
  if (!repair::InstallBootRenameProgram()) return;  // its own message stands instead
  ShowScanReport();
}

void ShowScanReport() {
  char caption[256] = {};
  GetWindowTextA(GetActiveWindow(), caption, sizeof caption);
  std::string report = scan::BuildReport();
  if (scan::TheScanState().closeWhenDone() != 0) {
    PostQuitMessage(0);
    return;
  }
  MessageBoxA(nullptr, report.c_str(), caption, MB_OK);
}

}  // namespace ui
