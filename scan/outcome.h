// Turning the outcome of one object into its two effects: a counter goes up,
// and a status line ("path\t\t\tstatus") goes to the scan's status line sink.
#pragma once

#include <string>
#include <string_view>

#include "scan/scan.h"
#include "scan/scan_state.h"

namespace scan {

std::string_view StatusText(ScanOutcome outcome);

// `path` in at most `room` bytes: whole when it fits, else the longest form
// that does, its start and its end on character boundaries around "...",
// the mark that it was cut.
std::string CutPath(std::string_view path, size_t room);

// Adds 1 to the counter of `outcome`.
void CountOutcome(ScanState& state, ScanOutcome outcome);

// The line for the object in `objectPath`: the path, three tabs, the status
// text. A path too long for one ring slot is cut (CutPath) so that the status
// always stands whole.
std::string ComposeStatusLine(std::string_view objectPath, ScanOutcome outcome);

// Counts the outcome and, unless it is "ok" with showAllFiles off, hands the
// object in `objectPath` and its outcome to the status line sink.
void RecordOutcome(Scan& scan, ScanOutcome outcome);
// The same for a file whose full path is not in `objectPath` (one too long to
// fit there).
void RecordOutcomeFor(Scan& scan, std::string_view objectPath, ScanOutcome outcome);
// The running system's parts that are checked before the walk.
enum class SystemObject { Memory, Registry };

// Records what a check of the system found about `object` (named in
// `objectPath`): its status line goes out as a file's would, but it is kept
// apart from the counters, which count files only.
void RecordSystemOutcome(Scan& scan, SystemObject object, ScanOutcome outcome);

// A folder that the walk could not list or enter: counted "cannot open" and
// in unopenedFolderCount, and its status line always goes to the sink.
void RecordFolderNotOpened(Scan& scan, std::string_view folderPath);
// A file or folder that the walk leaves out: counted apart (excludedFileCount,
// excludedFolderCount), with no status line, and told to the scan's
// exclusion seam.
void RecordExcluded(Scan& scan, std::string_view path, ObjectKind kind);

}  // namespace scan
