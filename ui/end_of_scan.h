// The end of every scan: the boot-time rename program when it is needed, then
// the report, or the end of the program when it was told to close when done.
#pragma once

#include <windows.h>

#include "scan/report.h"
#include "scan/scan.h"

namespace ui {

// `owner` is the main window, which owns the report; `end` tells whether the
// scan reached the end of what it was to scan.
void FinishScan(scan::Scan& scan, HWND owner, scan::ScanEnd end);
void ShowScanReport(const scan::Scan& scan, HWND owner, scan::ScanEnd end);

}  // namespace ui
