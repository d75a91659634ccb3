#include "scan/walk.h"

#include <atomic>

#include "os/directory.h"
#include "os/file_ops.h"
#include "os/system.h"
#include "scan/handle_object.h"
#include "scan/outcome.h"
#include "scan/scan_state.h"

namespace scan {
namespace {

std::atomic<ObjectHook> g_objectHook{nullptr};

// Below a drive root's "System Volume Information" folder nothing is walked.
constexpr std::string_view kSystemFolder = ":\\System Volume Information\\";

bool EqualsIgnoringAsciiCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; };
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}

// Whether the walk puts a separator after `dir` before the names in it. On
// Windows a drive root ("C:\") has its separator and every longer path gets
// one, also when it already ends in one; on POSIX a path that ends in "/"
// gets no second one.
bool NeedsSeparator(std::string_view dir) {
  if (os::PathSeparator() == '\\') return dir.size() > 3;
  return dir.empty() || dir.back() != '/';
}

bool IsBelowSystemFolder(std::string_view dir) {
  return dir.size() > kSystemFolder.size() && dir.substr(1, kSystemFolder.size()) == kSystemFolder;
}

// Enters the subdirectory by its long name, or else its short name, and
// names it in dirPath; never a path that does not fit the buffer.
bool EnterSubdirectory(const std::string& base, const os::DirectoryEntry& entry) {
  ScanState& state = TheScanState();
  for (const std::string* name : {&entry.longName, &entry.shortName}) {
    if (name->empty()) continue;
    std::string path = base + *name;
    if (path.size() > kMaxPathLength || !os::ChangeDirectory(*name)) continue;
    SetPath(state.dirPath, path);
    return true;
  }
  return false;
}

// Names the file in objectPath and objectShortPath and handles it; HandleObject's
// answer. A path too long for objectPath is recorded "cannot open" and never
// handled under a shortened name; a short path that does not fit is left empty.
int HandleFileAt(const std::string& longPath, const std::string& shortPath) {
  ScanState& state = TheScanState();
  if (!SetPath(state.objectPath, longPath)) {
    RecordOutcomeFor(longPath, ScanOutcome::CannotOpen);
    return 1;
  }
  if (!SetPath(state.objectShortPath, shortPath)) SetPath(state.objectShortPath, "");
  if (ObjectHook hook = g_objectHook.load()) hook();
  return HandleObject();
}

// Hands one file on; false when the walk must stop (a Quit answer).
bool VisitFile(const std::string& base, const os::DirectoryEntry& entry) {
  ScanState& state = TheScanState();
  if (state.selectedTypesOnly() != 0) {
    std::string_view name = entry.longName;
    std::string_view ending = name.size() >= 4 ? name.substr(name.size() - 4) : std::string_view();
    if (!IsSelectedFileType(ending, name)) return true;
  }
  std::string shortPath = entry.shortName.empty() ? base : base + entry.shortName;
  return HandleFileAt(base + entry.longName, shortPath) != 0;
}

}  // namespace

bool IsSelectedFileType(std::string_view ending, std::string_view name) {
  return EqualsIgnoringAsciiCase(ending, ".exe") || EqualsIgnoringAsciiCase(name, "Kernel32.dll") ||
         EqualsIgnoringAsciiCase(name, "Krized.tt6");
}

int WalkDirectory() {
  ScanState& state = TheScanState();
  std::string base(PathView(state.dirPath));
  if (NeedsSeparator(base)) base += os::PathSeparator();
  // When even the separator does not fit, every name below is too long and
  // is refused on its own.
  SetPath(state.dirPath, base);

  os::DirectoryListing listing = os::DirectoryListing::OpenCurrent();
  if (!listing.IsOpen()) return 1;
  bool failed = false;
  os::DirectoryEntry entry;
  while (listing.Next(entry)) {
    if (entry.isDirectory) {
      if (!entry.longName.empty() && entry.longName[0] != '.' && EnterSubdirectory(base, entry)) {
        if (!IsBelowSystemFolder(PathView(state.dirPath)) && WalkDirectory() == 0) failed = true;
        os::ChangeDirectory("..");
        SetPath(state.dirPath, base);
      }
    } else if (entry.isFile) {
      if (!VisitFile(base, entry)) failed = true;
    }
    if (state.stopRequested() != 0) {
      state.setStopRequested(0);
      failed = true;
    }
    if (failed) break;
  }
  return failed ? 0 : 1;
}

RootResult WalkRoot(const std::string& root) {
  ScanState& state = TheScanState();
  if (!SetPath(state.rootPath, root)) return RootResult::CannotEnter;
  std::string previous = os::WorkingDirectory();
  if (!os::ChangeDirectory(root)) return RootResult::CannotEnter;
  SetPath(state.dirPath, root);
  int completed = WalkDirectory();
  if (!previous.empty()) os::ChangeDirectory(previous);
  return completed != 0 ? RootResult::Completed : RootResult::Stopped;
}

int HandleNamedFile(const std::string& path) { return HandleFileAt(path, os::ShortPath(path)); }

void SetObjectHook(ObjectHook hook) { g_objectHook.store(hook); }

}  // namespace scan
