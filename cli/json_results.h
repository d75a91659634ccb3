// The results of a run as one JSON document (--json), or as JSON Lines, a
// record a line written as the scan goes (--json-lines), for tools that
// drive krizclean. Both carry the version of their layout, kJsonSchema.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "scan/outcome.h"
#include "scan/scan_state.h"

namespace cli {

// The version of the layout of --json's document and --json-lines' records:
// raised when a member changes its meaning or goes, not when one is added.
inline constexpr int kJsonSchema = 1;

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
  int32_t accessDenied = 0;  // everything not opened, whatever the cause
  int32_t unopenedFolders = 0;
  // What was not opened, by cause (krizclean's own: the Windows program's
  // report counts all of it as "access denied"): no permission, a damaged
  // image or archive or a part of one (or one past a limit), a pipe, socket
  // or device, no file handles left, and anything else (a journal left
  // alone, a file removed during the scan, an error of the disk).
  int32_t permissionDenied = 0;
  int32_t damagedContainers = 0;
  int32_t notRegularFiles = 0;
  int32_t outOfHandles = 0;
  int32_t otherNotOpened = 0;
  int32_t excludedFiles = 0;
  int32_t excludedFolders = 0;
};
Counts CountsOf(const scan::ScanState& state);

// {"schema", "virus", "action", "objects": [{"path", "kind", "status", "code"}...],
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

// --json-lines' records, each one line without its line feed: an object as
// the document lists it, with "schema" and "type": "object" before it; a
// PATH not scanned ("type": "error"); and the last, "type": "summary", with
// "virus", "action", the document's "counts", "not_scanned" and "excluded",
// the exit status and whether a stop or a Quit answer ended the run.
std::string ObjectRecord(const ObjectResult& object);
std::string ErrorRecord(const PathError& error);
std::string SummaryRecord(scan::ActionMode action, const Counts& counts, int exitStatus,
                          bool interrupted);

// One original that --restore put back, or tried to: its path, its status
// ("restored", "changed since, kept", ...) and that status's code (0 to 6, in
// the order of the statuses), and why where there is more to say.
struct RestoreEntry {
  std::string path;
  std::string status;
  int code = 0;
  std::string reason;
};

// A status of --restore and how many originals ended in it, in the order of
// the statuses.
using RestoreCounts = std::vector<std::pair<std::string, size_t>>;

// --restore's results: the document of --json ({"schema", "action":
// "restore", "objects", "errors", "counts", "exit_status"}), and the records
// of --json-lines ("type": "restore" for each original, "error" for a PATH
// under which no original is kept, "summary" last).
std::string RestoreAsJson(const std::vector<RestoreEntry>& entries,
                          const std::vector<PathError>& errors, const RestoreCounts& counts,
                          int exitStatus);
std::string RestoreRecord(const RestoreEntry& entry);
std::string RestoreSummaryRecord(const RestoreCounts& counts, int exitStatus, bool interrupted);

}  // namespace cli
