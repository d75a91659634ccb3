// One scan as a value: its state, and the seams through which it reaches the
// user, the disk beyond the engine, and the system's restart. Each front end
// (and each test) makes its own scan with its own seams; nothing about a scan
// is process-wide, so two scans never meet.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>

#include "engine/repair_plan.h"
#include "os/directory.h"
#include "os/write_faults.h"
#include "scan/object_snapshot.h"
#include "scan/scan_state.h"
#include "scan/walk_options.h"

namespace scan {

// What a status line is about: a file handed to per-object handling, or a
// folder that the walk could not list or enter.
enum class ObjectKind { File, Folder };

// The infection prompt's answers; any other value counts as Skip.
enum class PromptChoice : int32_t {
  Disinfect = 102,
  Skip = 103,
  Quit = 104,
};

// How repairs are made, beyond the engine's own: a folder that keeps each
// infected original before it is cleaned (empty: none), and a failing disk
// for tests.
struct RepairOptions {
  std::string backupFolder;
  os::WriteFaults* faults = nullptr;
  // The backup folder held open for the whole run, once checked; none: it
  // is opened by its path for each backup.
  std::shared_ptr<const os::Folder> backupHandle;
};

// The callbacks of one scan. An empty member stands for the default named
// beside it.
struct ScanSeams {
  // Asks the user about the infected object `objectPath` (as shown in the
  // path buffers); answers a PromptChoice. Default: Skip.
  std::function<int32_t(std::string_view objectPath)> prompt;
  // Where status lines go. Default: composed and queued in the scan's status
  // ring for the window's timer.
  std::function<void(std::string_view path, ScanOutcome outcome, ObjectKind kind)> statusSink;
  // Shows a failure to the user and returns once seen. Default: a line on
  // standard error.
  std::function<void(const char* text, const char* caption)> message;
  // Why the object `path` stands as its status line that comes next says,
  // where there is more to say than its status (a journal not trusted, a
  // file left alone). Default: nothing.
  std::function<void(std::string_view path, std::string_view reason)> objectReason;
  // Called for each file just before it is handled, with the path its status
  // line will show. Default: nothing.
  std::function<void(std::string_view shownPath)> objectHook;
  // Called for each file the walk meets, whatever its name, before the
  // filter: lets a front end look inside disk images and archives. `path`
  // opens the file from the current directory, `shown` is its path as the
  // user sees it. Answers false to end the walk (a Quit answer). Default:
  // nothing.
  std::function<bool(const std::string& path, const std::string& shown)> fileHook;
  // Told of each file and folder that the walk leaves out (WalkOptions, the
  // backup folder), once it is counted. Default: nothing.
  std::function<void(std::string_view path, ObjectKind kind)> excluded;
  // The engine's plan of a repair. Default: engine::PlanRepair.
  engine::PlanResult (*plan)(os::ByteSource& file) = nullptr;
  // Whether a cleaned object is deleted rather than kept. Default: never.
  std::function<bool(const std::string& path)> deleteInstead;
  // Puts `source` in the place of `destination` (or deletes it when there is
  // none) at the next restart, for the scan whose state is given. Set by the
  // front end that builds the scan (repair::ReplaceAtRestart); without it,
  // nothing is replaced at restart and a file in use is not cleaned.
  std::function<bool(ScanState& state, const std::optional<std::string>& destination,
                     const std::string& source)>
      replaceAtRestart;
  RepairOptions repair;
  // What the walk leaves out besides the backup folder, which it always does.
  WalkOptions walk;
};

class Scan {
 public:
  explicit Scan(ScanSeams seams = {});
  Scan(const Scan&) = delete;
  Scan& operator=(const Scan&) = delete;

  ScanState& state() { return state_; }
  const ScanState& state() const { return state_; }
  // Set before the scan starts, never while it runs.
  ScanSeams& seams() { return seams_; }
  const ScanSeams& seams() const { return seams_; }
  // The object in work, readable whole from another thread.
  ObjectSnapshot& snapshot() { return snapshot_; }

  // The seams, each with its default.
  int32_t Ask(std::string_view objectPath) const;
  void Status(std::string_view path, ScanOutcome outcome, ObjectKind kind);
  void Tell(const char* text, const char* caption) const;
  void Announce(std::string_view shownPath) const;
  void Reason(std::string_view path, std::string_view reason) const;
  // True the first time it is asked about `key` in this scan: what is said
  // once per run (a journal left as it is, met again by another way in).
  bool FirstTime(const std::string& key) { return said_.insert(key).second; }
  void Excluded(std::string_view path, ObjectKind kind) const;
  engine::PlanResult Plan(os::ByteSource& file) const;
  bool DeleteInstead(const std::string& path) const;
  bool ReplaceAtRestart(const std::optional<std::string>& destination, const std::string& source);

 private:
  ScanState state_;
  ScanSeams seams_;
  ObjectSnapshot snapshot_;
  std::set<std::string> said_;
};

}  // namespace scan
