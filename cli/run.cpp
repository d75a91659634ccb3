#include "cli/run.h"

#include <cstdio>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "cli/ask.h"
#include "cli/inside_entry.h"
#include "cli/interrupt.h"
#include "cli/json_file.h"
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
  bool eraseProgress = false;  // standard output shares the progress line's terminal
  bool collect = false;        // kept for the JSON
  std::vector<ObjectResult> objects;
  std::vector<PathError> errors;  // PATHs not scanned, for the JSON
  // The names and reason of the contained object whose status line comes
  // next (its path is `path`), for the JSON.
  std::optional<ObjectResult> inner;
};
StatusOutput g_output;

// One line per object, whatever its name holds (Escaped).
void OnStatusLine(std::string_view path, scan::ScanOutcome outcome, scan::ObjectKind kind) {
  if (g_output.print) {
    if (g_output.eraseProgress) progress::Erase();
    std::string line = Escaped(path);
    line.append(": ").append(scan::StatusText(outcome)).append("\n");
    std::fwrite(line.data(), 1, line.size(), stdout);
  }
  if (g_output.collect) {
    ObjectResult result{std::string(path), outcome, kind, "", "", ""};
    if (g_output.inner && g_output.inner->path == path) {
      result.container = std::move(g_output.inner->container);
      result.inner = std::move(g_output.inner->inner);
      result.reason = std::move(g_output.inner->reason);
    }
    g_output.objects.push_back(std::move(result));
  }
  g_output.inner.reset();
}

void OnInnerObject(const inside::InnerName& name, const std::string& reason) {
  if (!g_output.collect) return;
  const std::string path = name.inner.empty() ? name.container : name.Shown();
  g_output.inner = ObjectResult{path,
                                scan::ScanOutcome::Ok,
                                scan::ObjectKind::File,
                                name.inner.empty() ? "" : name.container,
                                name.inner,
                                reason};
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
  std::fprintf(stderr, "krizclean: %s: %s\n", Escaped(path).c_str(), problem.c_str());
}

// A PATH that was not scanned: said on standard error and kept for the JSON.
void NotScanned(const std::string& path, const std::string& problem) {
  Complain(path, problem);
  g_output.errors.push_back({path, problem});
}

// How a PATH is shown: status lines name files by paths that do not depend
// on where the program started, so a relative PATH is joined to the starting
// folder. "." components are dropped ("." and "./games" read well), nothing
// else is changed: ".." after a symbolic link means what the system says it
// means. A starting folder that has no path any more (deleted while we stand
// in it) leaves the PATH as given.
std::string Shown(const std::string& path) {
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

// Scans one PATH. Folders and files are reached from the starting folder by
// the PATH as given; the walk comes back to it after each folder.
PathResult ScanPath(const std::string& given) {
  const std::string shown = Shown(given);
  std::error_code error;
  const fs::file_status status = fs::status(given, error);
  switch (status.type()) {
    case fs::file_type::directory:
      switch (scan::WalkTree(given, shown)) {
        case scan::RootResult::Completed:
          return PathResult::Scanned;
        case scan::RootResult::Stopped:
          return PathResult::StopHere;
        case scan::RootResult::CannotEnter:
          return PathResult::NotScanned;  // its status line says so
      }
      return PathResult::NotScanned;
    case fs::file_type::regular: {
      const scan::ScanState& state = scan::TheScanState();
      const int32_t deniedBefore = state.accessDeniedCount;
      // A disk image or an archive is looked into; the file itself is
      // handled too when it is not one, or when its name is a program's (a
      // self-extracting archive).
      const InsideResult inside = LookInsidePath(given, shown);
      if (inside == InsideResult::Stopped) return PathResult::StopHere;
      const std::string name = fs::path(given).filename().string();
      const std::string_view ending =
          name.size() >= 4 ? std::string_view(name).substr(name.size() - 4) : "";
      if ((inside == InsideResult::NotContainer || scan::IsSelectedFileType(ending, name)) &&
          scan::HandleNamedFile(given, shown) == 0) {
        return PathResult::StopHere;
      }
      return state.accessDeniedCount != deniedBefore ? PathResult::NotScanned : PathResult::Scanned;
    }
    case fs::file_type::not_found:
      NotScanned(given, "no such file or folder");
      return PathResult::NotScanned;
    case fs::file_type::none:
      NotScanned(given, error.message());
      return PathResult::NotScanned;
    default:
      // A pipe or a device is not scanned: opening a pipe would wait for a
      // writer, and a device is no program.
      NotScanned(given, "not a file or folder");
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

std::string Counted(int32_t count, const char* one, const char* many) {
  return std::to_string(count) + " " + (count == 1 ? one : many);
}

// The report of the scan, then a last line with what could not be scanned.
std::string Report(const scan::ScanState& s) {
  std::string report = WithLineFeeds(scan::BuildReport());
  if (report.empty() || report.back() != '\n') report += '\n';
  const int32_t folders = s.unopenedFolderCount;
  report += "Not scanned: " + Counted(s.accessDeniedCount - folders, "file", "files") + ", " +
            Counted(folders, "folder", "folders") + "\n";
  return report;
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
  // The JSON file is checked before anything is scanned, so that a name that
  // cannot take it stops the run before it changes a file; it is written
  // only at the end.
  std::optional<JsonFile> jsonFile;
  if (options.jsonPath && !jsonToStandardOutput) {
    std::string problem;
    jsonFile = JsonFile::Prepare(*options.jsonPath, problem);
    if (!jsonFile) {
      Complain(*options.jsonPath, problem);
      return kExitNotScanned;
    }
  }

  // The backup folder is made ready before anything is scanned: without it
  // no file may be cleaned.
  scan::RepairOptions repair;
  if (options.backupFolder) {
    repair.backupFolder = Shown(*options.backupFolder);
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
  g_output.collect = options.jsonPath.has_value();
  const bool showProgress = !options.quiet && StandardErrorIsTerminal();
  g_output.eraseProgress = showProgress && OutputsShareTerminal();

  scan::SetStatusLineSink(OnStatusLine);
  StartLookingInside(options.inside, options.backupFolder.has_value(), OnInnerObject);
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
  // Every file and folder that could not be opened, wherever it lay.
  if (state.accessDeniedCount != 0) allScanned = false;

  const std::string report = Report(state);
  if (!jsonToStandardOutput) std::fputs(report.c_str(), stdout);
  if (options.jsonPath) {
    const std::string json =
        ResultsAsJson(options.action, g_output.objects, g_output.errors, state, report) + "\n";
    if (jsonToStandardOutput) {
      std::fwrite(json.data(), 1, json.size(), stdout);
    } else if (std::string problem; !jsonFile->Write(json, problem)) {
      Complain(*options.jsonPath, problem);
      allScanned = false;
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
