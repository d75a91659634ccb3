// The end of every scan: the boot-time rename program when it is needed, then
// the report, or the end of the program when it was told to close when done.
#pragma once

#include "scan/scan.h"

namespace ui {

void FinishScan(scan::Scan& scan);
void ShowScanReport(const scan::Scan& scan);

}  // namespace ui
