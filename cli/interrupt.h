// Ctrl-C (or a polite kill) during a scan finishes the file in work instead
// of cutting its repair off halfway; the walk then stops and the report is
// printed; at the --ask prompt it skips the file asked about (ask.h). A
// second signal ends the program at once.
#pragma once

namespace cli {

// Catches SIGINT and SIGTERM by asking the walk to stop.
void StopScanOnInterrupt();
// A signal asked the scan to stop.
bool ScanInterrupted();

}  // namespace cli
