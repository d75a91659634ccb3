// Turning the outcome of one object into its two effects: a counter goes up,
// and a status line ("path\t\t\tstatus") goes to the status line sink.
#pragma once

#include <string>
#include <string_view>

#include "scan/scan_state.h"

namespace scan {

std::string_view StatusText(ScanOutcome outcome);

// Adds 1 to the counter of `outcome`.
void CountOutcome(ScanOutcome outcome);

// The line for the object in `objectPath`: the path, three tabs, the status
// text. A path too long for one ring slot is cut at a character boundary so
// that the status always stands whole.
std::string ComposeStatusLine(std::string_view objectPath, ScanOutcome outcome);

// Counts the outcome and, unless it is "ok" with showAllFiles off, hands the
// object in `objectPath` and its outcome to the status line sink.
void RecordOutcome(ScanOutcome outcome);
// The same for an object whose path is not in `objectPath` (one too long to
// fit there).
void RecordOutcomeFor(std::string_view objectPath, ScanOutcome outcome);

// Where status lines go. The default composes the line and queues it in the
// status ring for the window's timer; a terminal front end takes the path and
// outcome directly.
using StatusLineSink = void (*)(std::string_view objectPath, ScanOutcome outcome);
// nullptr restores the status ring.
void SetStatusLineSink(StatusLineSink sink);

// The default sink: ComposeStatusLine, then QueueStatusLine.
void QueueInStatusRing(std::string_view objectPath, ScanOutcome outcome);

}  // namespace scan
