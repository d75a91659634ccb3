#include "cli/run.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>
#include <vector>

#include "cli/ask.h"
#include "cli/interrupt.h"
#include "cli/json_results.h"
#include "cli/progress.h"
#include "cli/terminal.h"
#include "scan/handle_object.h"
#include "scan/outcome.h"
#include "scan/report.h"
#include "scan/scan_state.h"
#include "scan/user_message.h"
#include "scan/walk.h"

namespace cli {
namespace {

namespace fs = std::filesystem;

// Where status lines go. The sink is a plain function, so this is file-wide.
struct StatusOutput {
  bool print = true;           // "PATH: STATUS" on standard output
  bool printable = false;      // control characters shown as '?' (standard output is a terminal)
  bool eraseProgress = false;  // standard output shares the progress line's terminal
  bool collect = false;        // kept for the JSON
  std::vector<ObjectResult> objects;
};
StatusOutput g_output;

void OnStatusLine(std::string_view path, scan::ScanOutcome outcome) {
  if (g_output.print) {
    if (g_output.eraseProgress) progress::Erase();
    if (g_output.printable) {
      const std::string shown = Printable(path);
      std::fwrite(shown.data(), 1, shown.size(), stdout);
    } else {
      std::fwrite(path.data(), 1, path.size(), stdout);
    }
    const std::string_view status = scan::StatusText(outcome);
    std::fputs(": ", stdout);
    std::fwrite(status.data(), 1, status.size(), stdout);
    std::fputc('\n', stdout);
  }
  if (g_output.collect) g_output.objects.push_back({std::string(path), outcome});
}

void OnMessage(const char* text, const char* caption) {
  progress::Erase();
  // The program's own name as a caption says nothing here that the prefix
  // does not.
  if (std::string_view(caption) == "krizclean") {
    std::fprintf(stderr, "krizclean: %s\n", text);
  } else {
    std::fprintf(stderr, "krizclean: %s: %s\n", caption, text);
  }
}

void Complain(const std::string& path, const std::string& problem) {
  progress::Erase();
  std::fprintf(stderr, "krizclean: %s: %s\n", Printable(path).c_str(), problem.c_str());
}

// The walk moves the current directory as it goes while files are opened by
// the full names it builds, so those names must not depend on where the
// program started: a relative PATH is joined to the starting folder. "."
// components are dropped ("." and "./games" read well), nothing else is
// changed: ".." after a symbolic link means what the system says it means.
std::string Absolute(const std::string& path) {
  if (path.empty() || path.front() == '/') return path;
  std::error_code error;
  const fs::path start = fs::current_path(error);
  if (error) return path;
  std::string joined = start.string();
  size_t from = 0;
  while (from <= path.size()) {
    size_t end = path.find('/', from);
    if (end == std::string::npos) end = path.size();
    const std::string_view part = std::string_view(path).substr(from, end - from);
    if (!part.empty() && part != ".") {
      if (joined.back() != '/') joined += '/';
      joined += part;
    }
    from = end + 1;
  }
  // A final "/" stays, also when it stood before a final ".".
  const bool endsInSeparator = path.back() == '/' || path == "." || path.ends_with("/.");
  if (endsInSeparator && joined.back() != '/') joined += '/';
  return joined;
}

enum class PathResult { Scanned, NotScanned, StopHere };

PathResult ScanPath(const std::string& given) {
  const std::string path = Absolute(given);
  std::error_code error;
  const fs::file_status status = fs::status(path, error);
  switch (status.type()) {
    case fs::file_type::directory:
      switch (scan::WalkRoot(path)) {
        case scan::RootResult::Completed:
          return PathResult::Scanned;
        case scan::RootResult::Stopped:
          return PathResult::StopHere;
        case scan::RootResult::CannotEnter:
          Complain(given, "cannot scan this folder");
          return PathResult::NotScanned;
      }
      return PathResult::NotScanned;
    case fs::file_type::regular: {
      const scan::ScanState& state = scan::TheScanState();
      const int32_t deniedBefore = state.accessDeniedCount;
      if (scan::HandleNamedFile(path) == 0) return PathResult::StopHere;
      if (state.accessDeniedCount != deniedBefore) {
        Complain(given, "cannot open this file");
        return PathResult::NotScanned;
      }
      return PathResult::Scanned;
    }
    case fs::file_type::not_found:
      Complain(given, "no such file or folder");
      return PathResult::NotScanned;
    case fs::file_type::none:
      Complain(given, error.message());
      return PathResult::NotScanned;
    default:
      // A pipe or a device is not scanned: opening a pipe would wait for a
      // writer, and a device is no program.
      Complain(given, "not a file or folder");
      return PathResult::NotScanned;
  }
}

std::string WithLineFeeds(const std::string& text) {
  std::string converted;
  converted.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
    converted += text[i];
  }
  return converted;
}

bool FoundInfection(const scan::ScanState& s) {
  // A Quit answer records nothing for the file asked about, but it was
  // infected all the same.
  return QuestionsAsked() > 0 || s.leftInfectedCount != 0 || s.disinfectedCount != 0 ||
         s.deletedCount != 0 || s.disinfectAtRebootCount != 0 || s.deleteAtRebootCount != 0 ||
         s.notDisinfectedCount != 0;
}

}  // namespace

int Run(const Options& options) {
  const bool jsonToStandardOutput = options.jsonPath && *options.jsonPath == "-";
  // The JSON file is opened before anything is scanned, so that a name that
  // cannot be written stops the run before it changes a file.
  std::ofstream jsonFile;
  if (options.jsonPath && !jsonToStandardOutput) {
    jsonFile.open(*options.jsonPath, std::ios::binary | std::ios::trunc);
    if (!jsonFile) {
      Complain(*options.jsonPath, "cannot write the JSON file");
      return kExitNotScanned;
    }
  }

  // The backup folder is made ready before anything is scanned: without it
  // no file may be cleaned.
  scan::RepairOptions repair;
  if (options.backupFolder) {
    repair.backupFolder = Absolute(*options.backupFolder);
    std::error_code error;
    fs::create_directory(repair.backupFolder, error);
    if (!fs::is_directory(repair.backupFolder, error)) {
      Complain(*options.backupFolder, "cannot keep backups in this folder");
      return kExitNotScanned;
    }
  }
  scan::SetRepairOptions(repair);

  scan::ScanState& state = scan::TheScanState();
  state.setActionMode(options.action);
  state.setSelectedTypesOnly(options.allFiles ? 0 : 1);
  state.setShowAllFiles(options.showAll ? 1 : 0);
  state.ResetCounters();

  g_output = StatusOutput{};
  g_output.print = !jsonToStandardOutput;
  g_output.printable = StandardOutputIsTerminal();
  g_output.collect = options.jsonPath.has_value();
  const bool showProgress = !options.quiet && StandardErrorIsTerminal();
  g_output.eraseProgress = showProgress && OutputsShareTerminal();

  scan::SetStatusLineSink(OnStatusLine);
  scan::SetMessageHandler(OnMessage);
  scan::SetInfectionPrompt(AskOnTerminal);
  StopScanOnInterrupt();
  if (showProgress) progress::Start();

  bool allScanned = true;
  bool stopped = false;
  for (const std::string& path : options.paths) {
    if (ScanInterrupted()) break;
    const PathResult result = ScanPath(path);
    if (result == PathResult::NotScanned) allScanned = false;
    if (result == PathResult::StopHere) {
      stopped = true;
      break;
    }
  }
  progress::Finish();
  if (ScanInterrupted()) {
    std::fputs("krizclean: interrupted; what was not reached was not scanned\n", stderr);
    allScanned = false;
  } else if (stopped) {
    // The report counts nothing for the file the user quit on.
    std::fputs("krizclean: quit; what was not reached was not scanned\n", stderr);
    allScanned = false;
  }

  const std::string report = WithLineFeeds(scan::BuildReport());
  if (!jsonToStandardOutput) {
    std::fputs(report.c_str(), stdout);
    if (report.empty() || report.back() != '\n') std::fputc('\n', stdout);
  }
  if (options.jsonPath) {
    const std::string json = ResultsAsJson(options.action, g_output.objects, state, report) + "\n";
    if (jsonToStandardOutput) {
      std::fwrite(json.data(), 1, json.size(), stdout);
    } else {
      jsonFile.write(json.data(), static_cast<std::streamsize>(json.size()));
      jsonFile.close();
      if (!jsonFile) {
        Complain(*options.jsonPath, "cannot write the JSON file");
        allScanned = false;
      }
    }
  }
  // Results that did not reach their reader must not pass for a clean run.
  if (std::fflush(stdout) != 0 || std::ferror(stdout) != 0) {
    std::fputs("krizclean: cannot write to standard output\n", stderr);
    allScanned = false;
  }

  if (FoundInfection(state)) return kExitInfected;
  return allScanned ? kExitClean : kExitNotScanned;
}

}  // namespace cli
