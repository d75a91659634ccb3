// The end of every scan: the boot-time rename program when it is needed, then
// the report, or the end of the program when it was told to close when done.
#pragma once

namespace ui {

void FinishScan();
void ShowScanReport();

}  // namespace ui
