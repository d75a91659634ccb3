#include "ui/end_of_scan.h"

#include "repair/boot_installer.h"
#include "scan/scan_state.h"
#include "ui/message_box.h"

namespace ui {

void FinishScan(scan::Scan& scan, HWND owner, scan::ScanEnd end) {
  if (!repair::InstallBootRenameProgram(scan)) return;  // its own message stands instead
  ShowScanReport(scan, owner, end);
}

void ShowScanReport(const scan::Scan& scan, HWND owner, scan::ScanEnd end) {
  std::string report = scan::BuildReport(scan.state(), end);
  if (scan.state().closeWhenDone() != 0) {
    PostQuitMessage(0);
    return;
  }
  // The report belongs to the main window and carries its title, like every
  // box: the window cannot start another scan behind it.
  ShowBox(owner, report);
}

}  // namespace ui
