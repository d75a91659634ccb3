// The results of a run as one JSON document, for tools that drive krizclean.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "scan/scan_state.h"

namespace cli {

// One status line: an object and what became of it.
struct ObjectResult {
  std::string path;
  scan::ScanOutcome outcome;
};

// {"virus", "action", "objects": [{"path", "status", "code"}...], "counts":
// {...}, "report"}, with the counters of `state` and `report` as given. Bytes
// of a path that are not UTF-8 are replaced with U+FFFD, never refused.
std::string ResultsAsJson(scan::ActionMode action, const std::vector<ObjectResult>& objects,
                          const scan::ScanState& state, std::string_view report);

}  // namespace cli
