// One run of krizclean: sets up the scan from the options, walks or handles
// each PATH in turn, prints the status lines and the report, writes the JSON
// and answers the exit status. The scan and its collected results are one
// piece that other front ends (the Python module) run too.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "cli/json_results.h"
#include "cli/options.h"
#include "scan/scan_state.h"

namespace cli {

inline constexpr int kExitClean = 0;
inline constexpr int kExitInfected = 1;  // an infected file was found, cleaned or not
// Wrong arguments, or something sent to it was not scanned: a PATH, a folder
// below one, a file that could not be opened, or what a stop left unreached.
inline constexpr int kExitNotScanned = 2;

int Run(const Options& options);

// How a front end other than krizclean's terminal takes part in a run. Empty
// members stand for krizclean's own.
struct FrontEnd {
  // Each message for the user (what krizclean writes on standard error after
  // "krizclean: "). Default: that line on standard error.
  std::function<void(const std::string& text)> tell;
  // Handed the scan's state once it is set up, before the first PATH, and
  // nullptr once the last is done, before the state goes: a stop request
  // set there meanwhile stops the scan after the file in work. Default: a
  // Ctrl-C does that.
  std::function<void(scan::ScanState* state)> stopThrough;
  // Whether the run was asked to stop. Default: a Ctrl-C came.
  std::function<bool()> interrupted;
  // Each PATH is an entry of a folder, handled as the walk of that folder
  // meets it: a link or a journal is passed over, a file is handled only
  // when the filter takes it and looked into only with --inside. For a front
  // end that splits a folder among several scans.
  bool pathsAsEntries = false;
  // Instead of the PATHs, the one file or container these bytes hold, named
  // `bytesName` (scan-only: nothing is written anywhere).
  std::optional<std::span<const uint8_t>> bytes;
  std::string bytesName;
  // The bytes of standard input, scanned as the object a PATH "-" stands for
  // (kStandardInputName), as `bytes` are.
  std::optional<std::span<const uint8_t>> standardInput;
  // What is printed, kept here too for --log; none when null.
  std::string* log = nullptr;
  // Each --json-lines record as it is decided (without its line feed); none
  // when empty.
  std::function<void(const std::string& record)> record;
};

// What a run found: what its JSON holds, and how it ended.
struct RunResults {
  scan::ActionMode action = scan::ActionMode::ScanOnly;
  std::vector<ObjectResult> objects;
  std::vector<PathError> errors;
  Counts counts;
  std::string report;        // ends in the "Not scanned: ..." line
  bool interrupted = false;  // a stop request ended it
  bool quit = false;         // a Quit answer ended it
  bool allScanned = true;    // nothing was left out, nothing failed to open
  bool foundInfection = false;

  std::string Json() const;
  // krizclean's exit status for these results.
  int ExitStatus() const;
};

// Scans what `options` names as krizclean does, printing each status line
// unless the JSON goes to standard output (--json -), and collecting the
// results when options.jsonPath is set. nullopt, with `problem` (krizclean's
// words: "PATH: what is wrong"), when the run cannot start.
std::optional<RunResults> ScanAndCollect(const Options& options, const FrontEnd& frontEnd,
                                         std::string& problem);

// The name standard input's status line shows.
inline constexpr char kStandardInputName[] = "(standard input)";

// How a PATH is shown in status lines: joined to the current folder when
// relative (see run.cpp).
std::string Shown(const std::string& path);

}  // namespace cli
