// krizclean's command line: what to do with infected files, which files to
// look at, where the output goes, and the PATHs to scan.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "scan/scan_state.h"
#include "scan/walk_options.h"

namespace cli {

struct Options {
  // A command line changes nothing unless asked to.
  scan::ActionMode action = scan::ActionMode::ScanOnly;
  bool allFiles = false;                // every file, not only programs and the two library names
  bool showAll = false;                 // a status line for clean files too
  bool inside = false;                  // look into images and archives met by the walk
  int codepage = 437;                   // of short names inside FAT images
  bool quiet = false;                   // no progress display
  std::optional<std::string> jsonPath;  // "-" for standard output
  // --json-lines: a record a line as the scan goes; "-" for standard output.
  std::optional<std::string> jsonLinesPath;
  // --log: what is printed, appended to this file too.
  std::optional<std::string> logPath;
  bool noSummary = false;  // no report after the status lines
  // -f/--file-list: files naming more PATHs, one a line ("-": standard
  // input); with --null, NUL-separated.
  std::vector<std::string> fileLists;
  bool nullSeparated = false;
  // A folder that keeps each infected original before it is cleaned.
  std::optional<std::string> backupFolder;
  // --restore DIR: put back the originals kept in DIR (those under the
  // PATHs, or all of them) instead of scanning.
  std::optional<std::string> restoreFolder;
  bool force = false;  // restore over files changed since they were cleaned
  // What the walk leaves out: --exclude, --exclude-dir, --one-file-system.
  scan::WalkOptions walk;
  // Threads that test (and clean) files; 0: one per core.
  unsigned jobs = 0;
  bool help = false;
  bool version = false;
  std::vector<std::string> paths;
};

// The options, or in `error` what is wrong with the command line (empty when
// nothing is).
struct CommandLine {
  Options options;
  std::string error;
};

CommandLine ParseCommandLine(int argc, char** argv);

// The usage text, ending in a line feed.
extern const char kUsage[];

// Whether a PATH of `options` is "-", standard input scanned as one object.
bool ReadsStandardInput(const Options& options);

// "scan-only", "ask" or "clean".
std::string_view ActionName(scan::ActionMode action);

}  // namespace cli
