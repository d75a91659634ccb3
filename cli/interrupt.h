// Ctrl-C (or a polite kill) during a scan finishes the file in work instead
// of cutting its repair off halfway; the walk then stops and the report is
// printed; at the --ask prompt it skips the file asked about (ask.h). A
// second signal ends the program at once.
#pragma once

#include <csignal>

#include "scan/scan_state.h"

namespace cli {

// Catches SIGINT and SIGTERM by asking the walk of `state` to stop. A signal
// handler reaches only what is static: the flag and the one state it stops
// are the process's, set here once by the run before its scan starts.
void StopScanOnInterrupt(scan::ScanState& state);
// A signal asked the scan to stop.
bool ScanInterrupted();

// Holds SIGINT and SIGTERM back from the calling thread (and the threads it
// starts) until RestoreStopSignals; answers the mask it had before.
sigset_t BlockStopSignals();
void RestoreStopSignals(const sigset_t& previous);

}  // namespace cli
