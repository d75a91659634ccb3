#include "cli/run.h"

#include <cstdio>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "cli/ask.h"
#include "cli/inside_entry.h"
#include "cli/interrupt.h"
#include "cli/json_file.h"
#include "cli/json_results.h"
#include "cli/parallel_scan.h"
#include "cli/progress.h"
#include "cli/terminal.h"
#include "scan/handle_object.h"
#include "scan/outcome.h"
#include "scan/report.h"
#include "scan/scan_state.h"
#include "scan/texts.h"
#include "scan/walk.h"

namespace cli {
namespace {

namespace fs = std::filesystem;

// Where status lines go.
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

// What one run holds: its output, its progress line, its prompt, and the
// scan they serve.
struct RunContext {
  explicit RunContext(const Options& given) : options(given), prompt(progress) {}
  const Options& options;
  StatusOutput output;
  Progress progress;
  TerminalPrompt prompt;
  ParallelSettings parallel;
  bool inParallel = false;
  InsideLook* inside = nullptr;  // set before the first PATH
};

// One line per object, whatever its name holds (Escaped).
void OnStatusLine(RunContext& run, std::string_view path, scan::ScanOutcome outcome,
                  scan::ObjectKind kind) {
  StatusOutput& output = run.output;
  if (output.print) {
    if (output.eraseProgress) run.progress.Erase();
    std::string line = Escaped(path);
    line.append(": ").append(scan::StatusText(outcome)).append("\n");
    std::fwrite(line.data(), 1, line.size(), stdout);
  }
  if (output.collect) {
    ObjectResult result{std::string(path), outcome, kind, "", "", ""};
    if (output.inner && output.inner->path == path) {
      result.container = std::move(output.inner->container);
      result.inner = std::move(output.inner->inner);
      result.reason = std::move(output.inner->reason);
    }
    output.objects.push_back(std::move(result));
  }
  output.inner.reset();
}

void OnInnerObject(StatusOutput& output, const inside::InnerName& name, const std::string& reason) {
  if (!output.collect) return;
  const std::string path = name.inner.empty() ? name.container : name.Shown();
  output.inner = ObjectResult{path,
                              scan::ScanOutcome::Ok,
                              scan::ObjectKind::File,
                              name.inner.empty() ? "" : name.container,
                              name.inner,
                              reason};
}

void OnMessage(Progress& progress, const char* text, const char* caption) {
  progress.Erase();
  // The program's own name as a caption says nothing here that the prefix
  // does not.
  if (std::string_view(caption) == "krizclean") {
    std::fprintf(stderr, "krizclean: %s\n", text);
  } else {
    std::fprintf(stderr, "krizclean: %s: %s\n", caption, text);
  }
}

void Complain(Progress& progress, const std::string& path, const std::string& problem) {
  progress.Erase();
  std::fprintf(stderr, "krizclean: %s: %s\n", Escaped(path).c_str(), problem.c_str());
}

// A PATH that was not scanned: said on standard error and kept for the JSON.
void NotScanned(RunContext& run, const std::string& path, const std::string& problem) {
  Complain(run.progress, path, problem);
  run.output.errors.push_back({path, problem});
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
PathResult ScanPath(RunContext& run, scan::Scan& scan, const std::string& given) {
  const std::string shown = Shown(given);
  std::error_code error;
  const fs::file_status status = fs::status(given, error);
  switch (status.type()) {
    case fs::file_type::directory:
      switch (run.inParallel ? WalkTreeInParallel(scan, given, shown, run.parallel)
                             : scan::WalkTree(scan, given, shown)) {
        case scan::RootResult::Completed:
          return PathResult::Scanned;
        case scan::RootResult::Stopped:
          return PathResult::StopHere;
        case scan::RootResult::CannotEnter:
          return PathResult::NotScanned;  // its status line says so
      }
      return PathResult::NotScanned;
    case fs::file_type::regular: {
      const scan::ScanState& state = scan.state();
      const int32_t deniedBefore = state.accessDeniedCount;
      // A disk image or an archive is looked into; the file itself is
      // handled too when it is not one, or when its name is a program's (a
      // self-extracting archive).
      const InsideLook::Result looked = run.inside->LookIntoPath(given, shown);
      if (looked == InsideLook::Result::Stopped) return PathResult::StopHere;
      const std::string name = fs::path(given).filename().string();
      const std::string_view ending =
          name.size() >= 4 ? std::string_view(name).substr(name.size() - 4) : "";
      if ((looked == InsideLook::Result::NotContainer || scan::IsSelectedFileType(ending, name)) &&
          scan::HandleNamedFile(scan, given, shown) == 0) {
        return PathResult::StopHere;
      }
      return state.accessDeniedCount != deniedBefore ? PathResult::NotScanned : PathResult::Scanned;
    }
    case fs::file_type::not_found:
      NotScanned(run, given, "no such file or folder");
      return PathResult::NotScanned;
    case fs::file_type::none:
      NotScanned(run, given, error.message());
      return PathResult::NotScanned;
    default:
      // A pipe or a device is not scanned: opening a pipe would wait for a
      // writer, and a device is no program.
      NotScanned(run, given, "not a file or folder");
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
  std::string report = WithLineFeeds(scan::BuildReport(s));
  if (report.empty() || report.back() != '\n') report += '\n';
  const int32_t folders = s.unopenedFolderCount;
  report += "Not scanned: " + Counted(s.accessDeniedCount - folders, "file", "files") + ", " +
            Counted(folders, "folder", "folders") + "\n";
  return report;
}

bool FoundInfection(const RunContext& run, const scan::ScanState& s) {
  // A Quit answer records nothing for the file asked about, but it was
  // infected all the same.
  return run.prompt.questionsAsked() > 0 || s.leftInfectedCount != 0 || s.disinfectedCount != 0 ||
         s.deletedCount != 0 || s.disinfectAtRebootCount != 0 || s.deleteAtRebootCount != 0 ||
         s.notDisinfectedCount != 0;
}

}  // namespace

int Run(const Options& options) {
  RunContext run(options);
  const bool jsonToStandardOutput = options.jsonPath && *options.jsonPath == "-";
  // The JSON file is checked before anything is scanned, so that a name that
  // cannot take it stops the run before it changes a file; it is written
  // only at the end.
  std::optional<JsonFile> jsonFile;
  if (options.jsonPath && !jsonToStandardOutput) {
    std::string problem;
    jsonFile = JsonFile::Prepare(*options.jsonPath, problem);
    if (!jsonFile) {
      Complain(run.progress, *options.jsonPath, problem);
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
      Complain(run.progress, *options.backupFolder, "cannot keep backups in this folder");
      return kExitNotScanned;
    }
  }

  scan::ScanSeams seams;
  seams.repair = repair;
  seams.statusSink = [&run](std::string_view path, scan::ScanOutcome outcome,
                            scan::ObjectKind kind) { OnStatusLine(run, path, outcome, kind); };
  seams.message = [&run](const char* text, const char* caption) {
    OnMessage(run.progress, text, caption);
  };
  seams.prompt = [&run](std::string_view objectPath) { return run.prompt.Ask(objectPath); };
  seams.objectHook = [&run](std::string_view path) { run.progress.OnFile(path); };
  scan::Scan scan(std::move(seams));

  run.parallel.jobs =
      options.jobs != 0 ? options.jobs : std::max(1u, std::thread::hardware_concurrency());
  // One job is the single-threaded walk itself. Looking into the images and
  // archives a walk meets is done on the walk's own thread, so --inside
  // walks on one.
  run.inParallel = run.parallel.jobs > 1 && !options.inside && CanWalkInParallel();

  scan::ScanState& state = scan.state();
  state.setActionMode(options.action);
  state.setSelectedTypesOnly(options.allFiles ? 0 : 1);
  state.setShowAllFiles(options.showAll ? 1 : 0);
  state.ResetCounters();

  run.output.print = !jsonToStandardOutput;
  run.output.collect = options.jsonPath.has_value();
  const bool showProgress = !options.quiet && StandardErrorIsTerminal();
  run.output.eraseProgress = showProgress && OutputsShareTerminal();

  InsideLook looker(scan, options.backupFolder.has_value(),
                    [&run](const inside::InnerName& name, const std::string& reason) {
                      OnInnerObject(run.output, name, reason);
                    });
  run.inside = &looker;
  if (options.inside) looker.HookIntoWalk();
  StopScanOnInterrupt(state);
  if (showProgress) run.progress.Start();

  bool allScanned = true;
  bool stopped = false;
  for (const std::string& path : options.paths) {
    if (ScanInterrupted()) break;
    const PathResult result = ScanPath(run, scan, path);
    if (result == PathResult::NotScanned) allScanned = false;
    if (result == PathResult::StopHere) {
      stopped = true;
      break;
    }
  }
  run.progress.Finish();
  if (ScanInterrupted()) {
    std::fprintf(stderr, "krizclean: interrupted; %s\n", scan::texts::kNotReached.data());
    allScanned = false;
  } else if (stopped) {
    // The report counts nothing for the file the user quit on.
    std::fprintf(stderr, "krizclean: quit; %s\n", scan::texts::kNotReached.data());
    allScanned = false;
  }
  // Every file and folder that could not be opened, wherever it lay.
  if (state.accessDeniedCount != 0) allScanned = false;

  const std::string report = Report(state);
  if (!jsonToStandardOutput) std::fputs(report.c_str(), stdout);
  if (options.jsonPath) {
    const std::string json =
        ResultsAsJson(options.action, run.output.objects, run.output.errors, state, report) + "\n";
    if (jsonToStandardOutput) {
      std::fwrite(json.data(), 1, json.size(), stdout);
    } else if (std::string problem; !jsonFile->Write(json, problem)) {
      Complain(run.progress, *options.jsonPath, problem);
      allScanned = false;
    }
  }
  // Results that did not reach their reader must not pass for a clean run.
  if (std::fflush(stdout) != 0 || std::ferror(stdout) != 0) {
    std::fputs("krizclean: cannot write to standard output\n", stderr);
    allScanned = false;
  }

  if (FoundInfection(run, state)) return kExitInfected;
  return allScanned ? kExitClean : kExitNotScanned;
}

}  // namespace cli
