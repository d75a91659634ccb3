#include "cli/run.h"

#include <cstdio>
#include <filesystem>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <thread>
#include <tuple>
#include <vector>

#include "cli/ask.h"
#include "cli/backup_folder.h"
#include "cli/inside_entry.h"
#include "cli/interrupt.h"
#include "cli/json_file.h"
#include "cli/json_results.h"
#include "cli/parallel_scan.h"
#include "cli/progress.h"
#include "cli/terminal.h"
#include "engine/journal.h"
#include "inside/memory_bytes.h"
#include "os/directory.h"
#include "os/system.h"
#include "repair/restart.h"
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
  // Each record of --json-lines, as the object is decided.
  std::function<void(const std::string& record)> record;
  // What is printed on standard output and error, kept for --log.
  std::string* log = nullptr;
  std::vector<ObjectResult> objects;
  std::vector<PathError> errors;  // PATHs not scanned, for the JSON
  // The names and reason of the contained object whose status line comes
  // next (its path is `path`), for the JSON and the counts by cause.
  std::optional<ObjectResult> inner;
  bool innerFromContainer = false;  // its reason is the reader of an image or archive's
  Counts causes;                    // what was not opened, by cause
};

// What one run holds: its output, its progress line, its prompt, and the
// scan they serve.
struct RunContext {
  RunContext(const Options& given, const FrontEnd& front)
      : options(given), frontEnd(front), prompt(progress) {}
  const Options& options;
  const FrontEnd& frontEnd;
  StatusOutput output;
  Progress progress;
  TerminalPrompt prompt;
  ParallelSettings parallel;
  bool inParallel = false;
  InsideLook* inside = nullptr;  // set before the first PATH
};

// Counts an object not opened under its cause, told by its reason.
void CountCause(Counts& causes, const std::string& reason, bool fromContainer) {
  if (fromContainer) {
    ++causes.damagedContainers;
  } else if (reason == "permission denied") {
    ++causes.permissionDenied;
  } else if (reason == "not a regular file") {
    ++causes.notRegularFiles;
  } else if (reason == "out of file handles") {
    ++causes.outOfHandles;
  } else {
    ++causes.otherNotOpened;
  }
}

// One line per object, whatever its name holds (Escaped).
void OnStatusLine(RunContext& run, std::string_view path, scan::ScanOutcome outcome,
                  scan::ObjectKind kind) {
  StatusOutput& output = run.output;
  if (output.print) {
    if (output.eraseProgress) run.progress.Erase();
    std::string line = Escaped(path);
    line.append(": ").append(scan::StatusText(outcome)).append("\n");
    std::fwrite(line.data(), 1, line.size(), stdout);
    if (output.log != nullptr) output.log->append(line);
  }
  if (outcome == scan::ScanOutcome::CannotOpen) {
    const bool explained = output.inner && output.inner->path == path;
    CountCause(output.causes, explained ? output.inner->reason : std::string(),
               explained && output.innerFromContainer);
  }
  if (output.collect || output.record) {
    ObjectResult result{std::string(path), outcome, kind, "", "", ""};
    if (output.inner && output.inner->path == path) {
      result.container = std::move(output.inner->container);
      result.inner = std::move(output.inner->inner);
      result.reason = std::move(output.inner->reason);
    }
    // Whatever was not scanned says why.
    if (result.reason.empty() && outcome == scan::ScanOutcome::CannotOpen) {
      result.reason = kind == scan::ObjectKind::Folder ? "the folder could not be opened"
                                                       : "the file could not be opened";
    }
    if (output.record) output.record(ObjectRecord(result));
    if (output.collect) output.objects.push_back(std::move(result));
  }
  output.inner.reset();
}

// Why an object stands as it does, said on standard error as soon as it is
// known, and kept for the JSON of its status line, which comes next.
void OnObjectReason(RunContext& run, std::string_view path, std::string_view reason) {
  run.progress.Erase();
  const std::string line =
      "krizclean: " + Escaped(path) + ": " + Escaped(std::string(reason)) + "\n";
  std::fputs(line.c_str(), stderr);
  if (run.output.log != nullptr) run.output.log->append(line);
  run.output.innerFromContainer = false;
  run.output.inner =
      ObjectResult{std::string(path),  scan::ScanOutcome::Ok, scan::ObjectKind::File, "", "",
                   std::string(reason)};
}

void OnInnerObject(StatusOutput& output, const inside::InnerName& name, const std::string& reason) {
  output.innerFromContainer = true;
  const std::string path = name.inner.empty() ? name.container : name.Shown();
  output.inner = ObjectResult{path,
                              scan::ScanOutcome::Ok,
                              scan::ObjectKind::File,
                              name.inner.empty() ? "" : name.container,
                              name.inner,
                              reason};
}

// A line for the user: on standard error after the program's name, or to
// the front end.
void Tell(RunContext& run, const std::string& text) {
  if (run.frontEnd.tell) {
    run.frontEnd.tell(text);
    return;
  }
  run.progress.Erase();
  // A message names files (a path, a member of an archive) as they are.
  const std::string line = "krizclean: " + Escaped(text) + "\n";
  std::fputs(line.c_str(), stderr);
  if (run.output.log != nullptr) run.output.log->append(line);
}

void OnMessage(RunContext& run, const char* text, const char* caption) {
  // The program's own name as a caption says nothing here that the prefix
  // does not.
  if (std::string_view(caption) == "krizclean") {
    Tell(run, text);
  } else {
    Tell(run, std::string(caption) + ": " + text);
  }
}

std::string Complaint(const std::string& path, const std::string& problem) {
  return Escaped(path) + ": " + Escaped(problem);
}

void Complain(Progress& progress, const std::string& path, const std::string& problem) {
  progress.Erase();
  std::fprintf(stderr, "krizclean: %s\n", Complaint(path, problem).c_str());
}

// A PATH that was not scanned: said on standard error and kept for the JSON,
// by its path as status lines show it.
void NotScanned(RunContext& run, const std::string& path, const std::string& problem) {
  Tell(run, Complaint(path, problem));
  const PathError error{Shown(path), problem};
  if (run.output.record) run.output.record(ErrorRecord(error));
  run.output.errors.push_back(error);
}

}  // namespace

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

namespace {

enum class PathResult { Scanned, NotScanned, StopHere };

// Walks the folder `given`, shown as `shown`.
PathResult WalkPath(RunContext& run, scan::Scan& scan, const std::string& given,
                    const std::string& shown) {
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
}

std::string_view EndingOf(std::string_view name) {
  return name.size() >= 4 ? name.substr(name.size() - 4) : "";
}

// Whether the file PATH `given`, or the file a link there leads to, is one of
// this run's backups.
bool IsOwnBackup(const scan::Scan& scan, const std::string& given) {
  if (scan.seams().repair.backupFolder.empty()) return false;
  std::error_code error;
  const fs::path real = fs::canonical(given, error);
  if (error) return false;
  return scan::IsOwnBackup(scan, real.parent_path().string(), real.filename().string());
}

// Scans the file PATH `given`: a disk image or an archive is looked into;
// the file itself is handled too when it is not one, or when its name is a
// program's (a self-extracting archive).
PathResult ScanFile(RunContext& run, scan::Scan& scan, const std::string& given,
                    const std::string& shown) {
  const InsideLook::Result looked = run.inside->LookIntoPath(given, shown);
  if (looked == InsideLook::Result::Stopped) return PathResult::StopHere;
  const std::string name = fs::path(given).filename().string();
  const std::string_view ending =
      name.size() >= 4 ? std::string_view(name).substr(name.size() - 4) : "";
  if ((looked == InsideLook::Result::NotContainer || scan::IsSelectedFileType(ending, name)) &&
      scan::HandleNamedFile(scan, given, shown) == 0) {
    return PathResult::StopHere;
  }
  return PathResult::Scanned;
}

// Scans one PATH. Folders and files are reached from the starting folder by
// the PATH as given; the walk comes back to it after each folder.
PathResult ScanPath(RunContext& run, scan::Scan& scan, const std::string& given) {
  const std::string shown = Shown(given);
  std::error_code error;
  const fs::file_status status = fs::status(given, error);
  switch (status.type()) {
    case fs::file_type::directory:
      if (scan::IsBackupFolder(scan, given)) {
        // Asked for by name, so said; counted as left out, not as unscanned.
        Complain(run.progress, shown, "the backup folder of this run is not scanned");
        scan::RecordExcluded(scan, shown, scan::ObjectKind::Folder);
        return PathResult::Scanned;
      }
      return WalkPath(run, scan, given, shown);
    case fs::file_type::regular: {
      scan::ScanState& state = scan.state();
      const int32_t deniedBefore = state.accessDeniedCount;
      // One of this run's own backups (named, or reached by a link) is the
      // original of a file cleaned: it is looked at, and never changed.
      const scan::ActionMode action = state.actionMode();
      if (IsOwnBackup(scan, given)) {
        Complain(run.progress, shown, "a backup of this run: scanned, never cleaned");
        state.setActionMode(scan::ActionMode::ScanOnly);
      }
      const PathResult result = ScanFile(run, scan, given, shown);
      state.setActionMode(action);
      return result != PathResult::StopHere && state.accessDeniedCount != deniedBefore
                 ? PathResult::NotScanned
                 : result;
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

// Scans one PATH that is an entry of a folder, as the walk of that folder
// meets it (FrontEnd::pathsAsEntries): the same status lines, counts and
// messages as the entry gives in that walk.
PathResult ScanEntry(RunContext& run, scan::Scan& scan, const std::string& given) {
  const std::string shown = Shown(given);
  const std::string name = fs::path(given).filename().string();
  std::error_code error;
  const fs::file_status status = fs::symlink_status(given, error);
  switch (status.type()) {
    case fs::file_type::directory:
      return WalkPath(run, scan, given, shown);
    case fs::file_type::regular: {
      // A journal is carried out by the handling of its file, never on its
      // own: that file may be in work in another scan.
      if (!engine::TargetOfJournal(name).empty()) return PathResult::Scanned;
      const scan::ScanState& state = scan.state();
      const int32_t deniedBefore = state.accessDeniedCount;
      if (const auto& look = scan.seams().fileHook; look && !look(given, shown)) {
        return PathResult::StopHere;
      }
      if (state.selectedTypesOnly() != 0 && !scan::IsSelectedFileType(EndingOf(name), name)) {
        return PathResult::Scanned;
      }
      if (scan::HandleNamedFile(scan, given, shown) == 0) return PathResult::StopHere;
      return state.accessDeniedCount != deniedBefore ? PathResult::NotScanned : PathResult::Scanned;
    }
    case fs::file_type::not_found:
      NotScanned(run, given, "no such file or folder");
      return PathResult::NotScanned;
    case fs::file_type::none:
      NotScanned(run, given, error.message());
      return PathResult::NotScanned;
    default:
      // Links, pipes and devices: the walk passes them over.
      return PathResult::Scanned;
  }
}

// Scans the file or container that `bytes` hold, named `name`, as a PATH
// that is a file (scan-only).
PathResult ScanBytes(RunContext& run, scan::Scan& scan, std::span<const uint8_t> bytes,
                     const std::string& name) {
  const scan::ScanState& state = scan.state();
  const int32_t deniedBefore = state.accessDeniedCount;
  const InsideLook::Result looked = run.inside->LookIntoBytes(bytes, name);
  if (looked == InsideLook::Result::Stopped) return PathResult::StopHere;
  const std::string last = fs::path(name).filename().string();
  if (looked == InsideLook::Result::NotContainer ||
      scan::IsSelectedFileType(EndingOf(last), last)) {
    inside::MemoryBytes source(bytes);
    if (!inside::HandleInner({name, ""}, source, inside::Cleaner(), "given as bytes",
                             run.inside->seams())) {
      return PathResult::StopHere;
    }
  }
  return state.accessDeniedCount != deniedBefore ? PathResult::NotScanned : PathResult::Scanned;
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

// Whether the run leaves anything out: then its report says how much.
bool Excludes(const Options& options) {
  const scan::WalkOptions& walk = options.walk;
  return !walk.excludeFiles.empty() || !walk.excludeFolders.empty() || walk.oneFileSystem ||
         options.backupFolder.has_value();
}

// The report of the scan, what was left out where anything could be, then a
// last line with what could not be scanned.
// The report's line that begins with `label`, given the text `replacement`
// (lines, each ending in a line feed) instead.
void ReplaceLine(std::string& report, std::string_view label, const std::string& replacement) {
  size_t at = report.starts_with(label) ? 0 : report.find("\n" + std::string(label));
  if (at == std::string::npos) return;
  if (at != 0) ++at;
  const size_t end = report.find('\n', at);
  report.replace(at, end == std::string::npos ? std::string::npos : end + 1 - at, replacement);
}

// The report of the scan, what was left out where anything could be, then a
// last line with what could not be scanned. Its counts are the Windows
// program's, in words true of a command line: a scan-only run asked no one,
// and what was not opened is counted by cause, not all as "access denied".
std::string Report(const Options& options, const scan::ScanState& s, const Counts& causes) {
  std::string report = WithLineFeeds(scan::BuildReport(s));
  if (report.empty() || report.back() != '\n') report += '\n';
  if (options.action == scan::ActionMode::ScanOnly) {
    ReplaceLine(report, "left infected by user: ",
                "infected, not cleaned (scan only): " + std::to_string(s.leftInfectedCount) + "\n");
  }
  ReplaceLine(report, "access denied: ",
              "access denied: " + std::to_string(causes.permissionDenied) +
                  "\ndamaged images and archives: " + std::to_string(causes.damagedContainers) +
                  "\nnot regular files: " + std::to_string(causes.notRegularFiles) +
                  "\nout of file handles: " + std::to_string(causes.outOfHandles) +
                  "\nnot opened, other causes: " + std::to_string(causes.otherNotOpened) + "\n");
  if (Excludes(options)) {
    report += "Excluded: " + Counted(s.excludedFileCount, "file", "files") + ", " +
              Counted(s.excludedFolderCount, "folder", "folders") + "\n";
  }
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

std::string RunResults::Json() const {
  return ResultsAsJson(action, objects, errors, counts, report) + "\n";
}

int RunResults::ExitStatus() const {
  if (foundInfection) return kExitInfected;
  return allScanned ? kExitClean : kExitNotScanned;
}

std::optional<RunResults> ScanAndCollect(const Options& options, const FrontEnd& frontEnd,
                                         std::string& problem) {
  RunContext run(options, frontEnd);
  const bool jsonToStandardOutput = options.jsonPath && *options.jsonPath == "-";

  // The backup folder is made ready before anything is scanned: without it
  // no file may be cleaned.
  scan::RepairOptions repair;
  if (options.backupFolder) {
    repair.backupFolder = Shown(*options.backupFolder);
    std::string why;
    repair.backupHandle = BackupFolder(repair.backupFolder, FolderUse::Keep, why);
    if (repair.backupHandle == nullptr) {
      problem = Complaint(*options.backupFolder, why);
      return std::nullopt;
    }
  }
  if (frontEnd.bytes && options.action != scan::ActionMode::ScanOnly) {
    problem = Complaint(frontEnd.bytesName, "what is given as bytes is only scanned");
    return std::nullopt;
  }

  scan::ScanSeams seams;
  seams.repair = repair;
  seams.walk = options.walk;
  seams.replaceAtRestart = repair::ReplaceAtRestart;
  seams.statusSink = [&run](std::string_view path, scan::ScanOutcome outcome,
                            scan::ObjectKind kind) { OnStatusLine(run, path, outcome, kind); };
  seams.message = [&run](const char* text, const char* caption) { OnMessage(run, text, caption); };
  seams.prompt = [&run](std::string_view objectPath) { return run.prompt.Ask(objectPath); };
  seams.objectHook = [&run](std::string_view path) { run.progress.OnFile(path); };
  seams.objectReason = [&run](std::string_view path, std::string_view reason) {
    OnObjectReason(run, path, reason);
  };
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

  run.output.print =
      !jsonToStandardOutput && !(options.jsonLinesPath && *options.jsonLinesPath == "-");
  run.output.collect = options.jsonPath.has_value();
  run.output.record = frontEnd.record;
  run.output.log = frontEnd.log;
  const bool showProgress = !options.quiet && StandardErrorIsTerminal();
  run.output.eraseProgress = showProgress && OutputsShareTerminal();

  InsideLook looker(scan, options.backupFolder.has_value(),
                    [&run](const inside::InnerName& name, const std::string& reason) {
                      OnInnerObject(run.output, name, reason);
                    });
  if (const std::optional<inside::Codepage> codepage =
          inside::Codepage::Numbered(options.codepage)) {
    looker.UseCodepage(*codepage);
  }
  run.inside = &looker;
  if (options.inside) looker.HookIntoWalk();
  if (frontEnd.stopThrough) {
    frontEnd.stopThrough(&state);
  } else {
    StopScanOnInterrupt(state);
  }
  const auto interrupted = [&frontEnd] {
    return frontEnd.interrupted ? frontEnd.interrupted() : ScanInterrupted();
  };
  if (showProgress) run.progress.Start();

  RunResults results;
  bool stopped = false;
  if (frontEnd.bytes) {
    const PathResult result = ScanBytes(run, scan, *frontEnd.bytes, frontEnd.bytesName);
    if (result == PathResult::NotScanned) results.allScanned = false;
    stopped = result == PathResult::StopHere;
  } else {
    for (const std::string& path : options.paths) {
      if (interrupted()) break;
      const PathResult result =
          path == "-" && frontEnd.standardInput
              ? ScanBytes(run, scan, *frontEnd.standardInput, kStandardInputName)
          : frontEnd.pathsAsEntries ? ScanEntry(run, scan, path)
                                    : ScanPath(run, scan, path);
      if (result == PathResult::NotScanned) results.allScanned = false;
      if (result == PathResult::StopHere) {
        stopped = true;
        break;
      }
    }
  }
  run.progress.Finish();
  if (frontEnd.stopThrough) frontEnd.stopThrough(nullptr);
  if (interrupted()) {
    Tell(run, std::string("interrupted; ") + std::string(scan::texts::kNotReached));
    results.interrupted = true;
    results.allScanned = false;
  } else if (stopped) {
    // The report counts nothing for the file the user quit on.
    Tell(run, std::string("quit; ") + std::string(scan::texts::kNotReached));
    results.quit = true;
    results.allScanned = false;
  }
  // Every file and folder that could not be opened, wherever it lay.
  if (state.accessDeniedCount != 0) results.allScanned = false;

  results.action = options.action;
  results.objects = std::move(run.output.objects);
  results.errors = std::move(run.output.errors);
  results.counts = CountsOf(state);
  const Counts& causes = run.output.causes;
  results.counts.permissionDenied = causes.permissionDenied;
  results.counts.damagedContainers = causes.damagedContainers;
  results.counts.notRegularFiles = causes.notRegularFiles;
  results.counts.outOfHandles = causes.outOfHandles;
  results.counts.otherNotOpened = causes.otherNotOpened;
  results.report = Report(options, state, causes);
  results.foundInfection = FoundInfection(run, state);
  return results;
}

namespace {

// All of a file that is read whole (a --file-list, standard input), or
// nullopt with the reason in `error`. "-" is standard input.
std::optional<std::string> ReadWhole(const std::string& path, std::string& error) {
  std::string text;
  if (path == "-") {
    char chunk[1 << 16];
    for (;;) {
      const size_t got = std::fread(chunk, 1, sizeof chunk, stdin);
      text.append(chunk, got);
      if (got < sizeof chunk) break;
    }
    if (std::ferror(stdin) != 0) {
      error = "standard input cannot be read";
      return std::nullopt;
    }
    return text;
  }
  std::string name;
  const os::Folder folder = os::Folder::OpenParent(path, true, name);
  os::File file = folder.IsOpen() ? folder.OpenToRead(name) : os::File();
  if (!file.IsOpen()) {
    error = "cannot be opened";
    return std::nullopt;
  }
  std::vector<char> chunk(1 << 16);
  for (uint64_t offset = 0;;) {
    const std::optional<uint32_t> got =
        file.ReadAt(offset, chunk.data(), static_cast<uint32_t>(chunk.size()));
    if (!got) {
      error = "cannot be read";
      return std::nullopt;
    }
    if (*got == 0) break;
    text.append(chunk.data(), *got);
    offset += *got;
  }
  return text;
}

// The PATHs a --file-list holds: one a line (a carriage return before the
// line feed is dropped) or, with --null, one before each NUL; empty ones are
// passed over.
std::vector<std::string> PathsOfList(const std::string& text, bool nullSeparated) {
  std::vector<std::string> paths;
  const char end = nullSeparated ? '\0' : '\n';
  size_t from = 0;
  while (from < text.size()) {
    size_t stop = text.find(end, from);
    if (stop == std::string::npos) stop = text.size();
    std::string path = text.substr(from, stop - from);
    if (!nullSeparated && !path.empty() && path.back() == '\r') path.pop_back();
    if (!path.empty()) paths.push_back(std::move(path));
    from = stop + 1;
  }
  return paths;
}

}  // namespace

int Run(const Options& given) {
  Progress quiet;
  Options options = given;
  const bool jsonToStandardOutput = options.jsonPath && *options.jsonPath == "-";
  const bool linesToStandardOutput = options.jsonLinesPath && *options.jsonLinesPath == "-";
  // The files the results go to are checked before anything is scanned, so
  // that a name that cannot take them stops the run before it changes a
  // file. The JSON is written only at the end, the JSON Lines as the scan
  // goes, the log at the end.
  std::optional<JsonFile> jsonFile;
  std::optional<JsonFile> linesFile;
  std::optional<JsonFile> logFile;
  for (auto [path, file, use] :
       {std::tuple{&options.jsonPath, &jsonFile, JsonFile::Use::Replace},
        std::tuple{&options.jsonLinesPath, &linesFile, JsonFile::Use::Stream},
        std::tuple{&options.logPath, &logFile, JsonFile::Use::Append}}) {
    if (!*path || **path == "-") continue;
    std::string problem;
    *file = JsonFile::Prepare(**path, problem, use);
    if (!*file) {
      Complain(quiet, **path, problem);
      return kExitNotScanned;
    }
  }

  // The PATHs of the lists, after those of the command line.
  for (const std::string& list : options.fileLists) {
    std::string problem;
    const std::optional<std::string> text = ReadWhole(list, problem);
    if (!text) {
      Complain(quiet, list == "-" ? std::string("standard input") : list, problem);
      return kExitNotScanned;
    }
    for (std::string& path : PathsOfList(*text, options.nullSeparated)) {
      options.paths.push_back(std::move(path));
    }
  }
  if (options.paths.empty()) {
    std::fputs("krizclean: no PATH given: the lists name none\n", stderr);
    return kExitNotScanned;
  }
  std::string standardInput;
  FrontEnd frontEnd;
  if (ReadsStandardInput(options)) {
    std::string problem;
    std::optional<std::string> bytes = ReadWhole("-", problem);
    if (!bytes) {
      std::fprintf(stderr, "krizclean: %s\n", problem.c_str());
      return kExitNotScanned;
    }
    standardInput = std::move(*bytes);
    frontEnd.standardInput = std::span<const uint8_t>(
        reinterpret_cast<const uint8_t*>(standardInput.data()), standardInput.size());
  }

  // Each record goes out whole and at once, so that a reader of a running
  // scan (tail -f, jq) sees every object as soon as it is decided.
  std::optional<JsonFile::Stream> lines;
  std::string linesFailure;
  if (linesFile) {
    lines = linesFile->OpenStream(linesFailure);
    if (!lines) {
      Complain(quiet, *options.jsonLinesPath, linesFailure);
      return kExitNotScanned;
    }
  }
  bool linesBroken = false;
  const auto writeRecord = [&](const std::string& record) {
    if (linesBroken) return;
    const std::string line = record + "\n";
    if (lines) {
      linesBroken = !lines->Write(line, linesFailure);
    } else {
      linesBroken = std::fwrite(line.data(), 1, line.size(), stdout) != line.size() ||
                    std::fflush(stdout) != 0;
      if (linesBroken) linesFailure = "cannot write to standard output";
    }
  };
  if (options.jsonLinesPath) frontEnd.record = writeRecord;
  std::string log;
  if (options.logPath) frontEnd.log = &log;

  std::string problem;
  std::optional<RunResults> results = ScanAndCollect(options, frontEnd, problem);
  if (!results) {
    std::fprintf(stderr, "krizclean: %s\n", problem.c_str());
    return kExitNotScanned;
  }

  if (!jsonToStandardOutput && !linesToStandardOutput && !options.noSummary) {
    std::fputs(results->report.c_str(), stdout);
    log += results->report;
  }
  if (options.jsonPath) {
    const std::string json = results->Json();
    if (jsonToStandardOutput) {
      std::fwrite(json.data(), 1, json.size(), stdout);
    } else if (std::string failure; !jsonFile->Write(json, failure)) {
      Complain(quiet, *options.jsonPath, failure);
      results->allScanned = false;
    }
  }
  if (options.jsonLinesPath) {
    // The last record says how the run ended; a reader that meets no such
    // record knows the run did not end.
    writeRecord(SummaryRecord(results->action, results->counts, results->ExitStatus(),
                              results->interrupted || results->quit));
    if (lines && !linesBroken) linesBroken = !lines->Close(linesFailure);
    if (linesBroken) {
      Complain(quiet, *options.jsonLinesPath, linesFailure);
      results->allScanned = false;
    }
  }
  if (logFile) {
    if (std::string failure; !logFile->Write(log, failure)) {
      Complain(quiet, *options.logPath, failure);
      results->allScanned = false;
    }
  }
  // Results that did not reach their reader must not pass for a clean run.
  if (std::fflush(stdout) != 0 || std::ferror(stdout) != 0) {
    std::fputs("krizclean: cannot write to standard output\n", stderr);
    results->allScanned = false;
  }
  return results->ExitStatus();
}

}  // namespace cli
