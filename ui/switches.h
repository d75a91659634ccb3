// The Windows program's switches, read from its command line.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace ui {

struct Switches {
  bool autoStart = false;    // /AutoStart: the scan starts at once
  bool listedPaths = false;  // /ListedPaths: "Scan only listed paths" is checked
  bool close = false;        // /Close: the program ends with the scan, without the report
  std::optional<std::string> backupFolder;  // /Backup:FOLDER, as given
};

// The switches of a command line, or why it cannot be taken.
struct ParsedSwitches {
  Switches switches;
  std::string problem;  // empty when every argument is a switch of ours
};

// The arguments of `commandLine`, the program's own path first: separated by
// blanks, and a blank between double quotes belongs to its argument. The
// quotes are dropped; a backslash is always itself (no path holds a quote).
std::vector<std::string> SplitArguments(std::string_view commandLine);

// The switches of `commandLine` (the whole command line, the program's own
// path first), in any letter case, as Windows users type them. An argument
// that is no switch of ours, or /Backup: without a folder, is a problem told
// in words: the program must not go on as if it had not been given.
ParsedSwitches ParseSwitches(std::string_view commandLine);

}  // namespace ui
