// The results of a run as one JSON document, for tools that drive krizclean.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "scan/outcome.h"
#include "scan/scan_state.h"

namespace cli {

// One status line: a file or a folder, and what became of it.
struct ObjectResult {
  std::string path;
  scan::ScanOutcome outcome;
  scan::ObjectKind kind;
  // A file inside a disk image or an archive: the container's path and the
  // path inside it (`path` is both, joined by "!"); empty for others.
  std::string container;
  std::string inner;
  // Why it stands as it does, where there is more to say than its status
  // (a read-only container, a limit passed, a damaged image).
  std::string reason;
};

// A PATH given on the command line that was not scanned, and why.
struct PathError {
  std::string path;
  std::string error;
};

// The report's counters, the folders among those not opened, and what was
// left out, as the JSON holds them: a copy that outlives the scan.
struct Counts {
  int32_t clean = 0;
  int32_t leftInfected = 0;
  int32_t disinfected = 0;
  int32_t disinfectAtReboot = 0;
  int32_t deleted = 0;
  int32_t deleteAtReboot = 0;
  int32_t couldNotDisinfect = 0;
  int32_t accessDenied = 0;
  int32_t unopenedFolders = 0;
  int32_t excludedFiles = 0;
  int32_t excludedFolders = 0;
};
Counts CountsOf(const scan::ScanState& state);

// {"virus", "action", "objects": [{"path", "kind", "status", "code"}...],
// (and "container", "inner_path" for a file inside an image or an archive,
// "reason" where there is one),
// "errors": [{"path", "error"}...], "counts": {...}, "not_scanned": {"files",
// "folders"}, "excluded": {"files", "folders"}, "report"}, with `counts` and
// `report` as given. A path that is not UTF-8 is written with U+FFFD for
// each byte that is not, and beside it "path_base64", its exact bytes in
// base64.
std::string ResultsAsJson(scan::ActionMode action, const std::vector<ObjectResult>& objects,
                          const std::vector<PathError>& errors, const Counts& counts,
                          std::string_view report);

}  // namespace cli
