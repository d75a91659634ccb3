// Replacing or deleting a file in use at the next start of the system: a
// delayed move on Windows NT, a line in a rename list on Windows 9x.
#pragma once

#include <optional>
#include <string>

#include "scan/scan_state.h"

namespace repair {

// GetVersionExA's platform is Windows NT.
bool IsWindowsNt();

// Records that `source` takes the place of `destination` at the next restart,
// or that `source` is deleted then when there is no destination. True when
// the request is recorded (or was already); false when refused or failed.
//
// Refused, touching no file: a source that does not begin with a drive
// letter, ":" and "\", on a drive that is neither removable nor fixed; a
// destination on another drive letter (compared as bytes); a name longer than
// 259 characters or holding a zero byte, CR or LF. On Windows 9x the line goes
// to WININIT.INI, or to WININI32.INI when NeedsLongNameList, which sets
// `state`'s bootRenameNeeded before the list is opened. A list that holds
// a zero byte or is larger than kMaxRenameListSize is left as it is (false).
bool ReplaceAtRestart(scan::ScanState& state, const std::optional<std::string>& destination,
                      const std::string& source);

}  // namespace repair
