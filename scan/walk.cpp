#include "scan/walk.h"

#include <algorithm>
#include <functional>
#include <optional>
#include <string_view>
#include <vector>

#include "engine/journal.h"
#include "os/directory.h"
#include "os/file_ops.h"
#include "os/resolve.h"
#include "os/system.h"
#include "scan/handle_object.h"
#include "scan/outcome.h"
#include "scan/scan_state.h"
#include "scan/walk_options.h"

namespace scan {
namespace {

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

// What one walk leaves out by the identity of a folder, resolved when it
// starts: the scan's backup folder, and with oneFileSystem every folder on
// another device than the root's. (Names and paths are left out by the
// scan's WalkOptions as they are met.)
struct Exclusions {
  std::optional<os::FolderKey> backup;
  bool oneFileSystem = false;
  uint64_t rootDevice = 0;

  // Whether folders are identified as they are entered: one more system
  // call a folder, made only when it can tell anything.
  bool Identify() const { return backup.has_value() || oneFileSystem; }
  // Whether the folder `identity` is left out; a folder the system does not
  // identify is walked.
  bool LeavesOut(const std::optional<os::FolderKey>& identity) const {
    if (!identity) return false;
    return identity == backup || (oneFileSystem && identity->device != rootDevice);
  }
  // Takes the root's identity: the device the walk stays on.
  void StartAt(const std::optional<os::FolderKey>& root) {
    if (root) rootDevice = root->device;
  }
};

Exclusions ExclusionsOf(const Scan& scan) {
  Exclusions exclusions;
  // The backup folder is never walked, whatever the user asked for: its
  // files are the originals of files cleaned, and a backup cleaned would be
  // one no more.
  const std::string& backupFolder = scan.seams().repair.backupFolder;
  if (!backupFolder.empty()) exclusions.backup = os::Folder::Open(backupFolder).Key();
  exclusions.oneFileSystem = scan.seams().walk.oneFileSystem;
  return exclusions;
}

bool PassesFilter(const Scan& scan, std::string_view name) {
  if (scan.state().selectedTypesOnly() == 0) return true;
  std::string_view ending = name.size() >= 4 ? name.substr(name.size() - 4) : std::string_view();
  return IsSelectedFileType(ending, name);
}

// How the files of the folder in work are named.
struct FolderNames {
  // The folder's path and its separator: the start of every path shown.
  std::string shown;
  // Walking by handles, the folder is the current directory and a file is
  // opened by its name alone; else by its full path, which must fit the
  // 259-character buffers.
  bool byHandle = false;
  // Walking by handles for a visitor: files go to it, named through the
  // folder, so that other threads reach them whatever the current directory.
  const FileVisitor* visit = nullptr;
  std::shared_ptr<const os::Folder> folder;
};

// A name a journal has. Whatever has it but a symbolic link (which is never
// followed, and so never trusted) is looked at as a journal: a folder or a
// pipe there is reported as one that cannot be ours.
bool IsJournal(const os::DirectoryEntry& entry) {
  return (entry.isFile || entry.isDirectory || entry.isOther) &&
         !engine::TargetOfJournal(entry.longName).empty();
}

// A file's names for per-object handling; nullopt when none fits the buffers.
// In the buffers a long path that does not fit leaves the short path, which
// is then the only name the file is opened and cleaned by.
std::optional<ObjectNames> NamesOf(const FolderNames& folder, const os::DirectoryEntry& entry) {
  ObjectNames names;
  names.shown = folder.shown + entry.longName;
  if (folder.byHandle) {
    // A folder without a handle of its own (Win32's is its full path, which
    // NT may not make the current directory) names its files in full, as a
    // restart replacement needs them.
    names.path = folder.visit != nullptr || folder.folder->NativeHandle() < 0
                     ? folder.folder->PathOf(entry.longName)
                     : entry.longName;
    names.folder = folder.folder;
    names.name = entry.longName;
    return names;
  }
  std::string shortPath = folder.shown + entry.shortName;
  if (names.shown.size() <= kMaxPathLength) {
    names.path = names.shown;
    if (shortPath.size() <= kMaxPathLength) names.shortPath = shortPath;
  } else if (!entry.shortName.empty() && shortPath.size() <= kMaxPathLength) {
    names.path = shortPath;
  } else {
    return std::nullopt;
  }
  return names;
}

enum class Step { Next, Descend, Stop };

// The one place where a walk deals with an entry it lists, whichever way it
// walks: "." and ".." are passed over, any other folder is to be descended
// into, and a file that passes the filter is handed to per-object handling.
// Stop after a Quit answer.
Step VisitEntry(Scan& scan, const FolderNames& folder, const os::DirectoryEntry& entry) {
  const WalkOptions& options = scan.seams().walk;
  if (entry.isDirectory) {
    if (entry.longName == "." || entry.longName == "..") return Step::Next;
    if (!options.excludeFolders.empty()) {
      const std::string path = folder.shown + entry.longName;
      if (MatchesAnyGlob(options.excludeFolders, entry.longName, path)) {
        RecordExcluded(scan, path, ObjectKind::Folder);
        return Step::Next;
      }
    }
    return Step::Descend;
  }
  // A journal is the cleaner's own working file, carried out before the
  // folder's files are handled (EntriesOf), never an object of the scan.
  if (IsJournal(entry) || (!entry.isFile && !entry.isOther)) return Step::Next;
  // An excluded file is not opened at all, not even to look inside it; it
  // is counted when the scan would have handled it.
  if (!options.excludeFiles.empty()) {
    const std::string path = folder.shown + entry.longName;
    if (MatchesAnyGlob(options.excludeFiles, entry.longName, path)) {
      if (PassesFilter(scan, entry.longName)) RecordExcluded(scan, path, ObjectKind::File);
      return Step::Next;
    }
  }
  if (const auto& look = scan.seams().fileHook; look && entry.isFile) {
    std::optional<ObjectNames> names = NamesOf(folder, entry);
    if (names && !look(names->path, names->shown)) return Step::Stop;
  }
  if (!PassesFilter(scan, entry.longName)) return Step::Next;
  std::optional<ObjectNames> names = NamesOf(folder, entry);
  if (!names || entry.isOther) {
    // A pipe, socket or device is never opened: a pipe would wait for a
    // writer.
    if (entry.isOther) scan.Reason(folder.shown + entry.longName, "not a regular file");
    RecordOutcomeFor(scan, folder.shown + entry.longName, ScanOutcome::CannotOpen);
    return Step::Next;
  }
  names->journalsDone = true;
  if (folder.visit != nullptr) {
    names->folder = folder.folder;
    names->name = entry.longName;
    return (*folder.visit)(*names) ? Step::Next : Step::Stop;
  }
  scan.Announce(names->shown);
  return HandleObjectNamed(scan, *names) != 0 ? Step::Next : Step::Stop;
}

// Every entry of a folder, read before any is handled, and the journals
// among them carried out first: a repair that a killed run left half-way is
// undone before its file is looked at, wherever the folder lists it. The
// folder is then listed again (`relist`), without the journals and the
// unfinished copies they removed.
std::vector<os::DirectoryEntry> EntriesOf(Scan& scan, const FolderNames& folder,
                                          os::DirectoryListing& listing,
                                          const std::function<os::DirectoryListing()>& relist) {
  std::vector<os::DirectoryEntry> entries;
  os::DirectoryEntry entry;
  bool journals = false;
  while (listing.Next(entry)) {
    journals = journals || IsJournal(entry);
    entries.push_back(entry);
  }
  if (!journals) return entries;
  // The walk by paths stands in the folder it lists.
  const os::Folder here = folder.byHandle ? os::Folder() : os::Folder::Current();
  const os::Folder& held = folder.byHandle ? *folder.folder : here;
  const std::vector<std::string>& excluded = scan.seams().walk.excludeFiles;
  // A scan that only reads leaves each journal and its file as they are:
  // the file is said and counted as not scanned, and not handled.
  std::vector<std::string> halfway;
  for (const os::DirectoryEntry& journal : entries) {
    if (!IsJournal(journal)) continue;
    // The journal of an excluded file is left as it is, with its file.
    const std::string target = engine::TargetOfJournal(journal.longName);
    if (!excluded.empty() && MatchesAnyGlob(excluded, target, folder.shown + target)) continue;
    const std::string shown = folder.shown + target;
    bool left = false;
    if (!RecoverInterruptedRepair(scan, held, journal.longName, shown, &left) && left) {
      RecordOutcomeFor(scan, shown, ScanOutcome::CannotOpen);
      halfway.push_back(target);
    }
  }
  std::vector<os::DirectoryEntry> kept;
  auto wanted = [&halfway](const os::DirectoryEntry& listed) {
    return std::find(halfway.begin(), halfway.end(), listed.longName) == halfway.end();
  };
  if (!MayChangeFiles(scan)) {
    for (os::DirectoryEntry& listed : entries) {
      if (wanted(listed)) kept.push_back(std::move(listed));
    }
    return kept;
  }
  os::DirectoryListing again = relist();
  if (!again.IsOpen()) return entries;
  entries.clear();
  while (again.Next(entry)) entries.push_back(entry);
  return entries;
}

// After every entry: whether the walk ends here, for a Quit answer or a stop
// request, which is consumed.
bool EndsWalk(Scan& scan, Step step) {
  ScanState& state = scan.state();
  if (state.stopRequested() != 0) {
    state.setStopRequested(0);
    return true;
  }
  return step == Step::Stop;
}

std::string WithSeparator(const std::string& dir) {
  return NeedsSeparator(dir) ? dir + os::PathSeparator() : dir;
}

// --- The Windows program's walk: the current directory and the buffers.

// Enters the subdirectory by its long name, or else its short name, and
// names it in dirPath; never by a path that does not fit the buffer.
bool EnterSubdirectory(Scan& scan, const std::string& base, const os::DirectoryEntry& entry) {
  ScanState& state = scan.state();
  for (const std::string* name : {&entry.longName, &entry.shortName}) {
    if (name->empty()) continue;
    std::string path = base + *name;
    if (path.size() > kMaxPathLength || !os::ChangeDirectory(*name)) continue;
    SetPath(state.dirPath, path);
    return true;
  }
  return false;
}

int WalkLevel(Scan& scan, const Exclusions& exclusions);

// A folder the call just made could not open, list or enter: said why, and
// recorded.
void NotOpened(Scan& scan, std::string_view path) {
  scan.Reason(path, os::WhyNotOpened());
  RecordFolderNotOpened(scan, path);
}

// A folder whose listing broke off.
void ListingFailed(Scan& scan, std::string_view path) {
  scan.Reason(path, "its entries could not all be read");
  RecordFolderNotOpened(scan, path);
}

Step WalkSubdirectory(Scan& scan, const Exclusions& exclusions, const std::string& base,
                      const os::DirectoryEntry& entry) {
  ScanState& state = scan.state();
  if (!EnterSubdirectory(scan, base, entry)) {
    NotOpened(scan, base + entry.longName);
    return Step::Next;
  }
  // Known only once entered: a short name, or a name in other letters, is
  // the same folder.
  const bool excluded = exclusions.Identify() && exclusions.LeavesOut(os::Folder::Current().Key());
  if (excluded) RecordExcluded(scan, base + entry.longName, ObjectKind::Folder);
  bool completed =
      excluded || IsBelowSystemFolder(PathView(state.dirPath)) || WalkLevel(scan, exclusions) != 0;
  os::ChangeDirectory("..");
  SetPath(state.dirPath, base);
  return completed ? Step::Next : Step::Stop;
}

// --- The walk by folder handles.

enum class FolderWalk { Done, NotOpened, Stopped };

// One walk by handles: its scan, where files go when not to per-object
// handling, and what it leaves out.
struct HandleWalk {
  Scan& scan;
  const FileVisitor* visit;
  Exclusions exclusions;
};

FolderWalk WalkFolder(const HandleWalk& walk, const std::shared_ptr<const os::Folder>& folder,
                      const std::string& shown);

// Opens the subfolder `name` of `parent`, whose path is `path`, and walks it;
// the current directory is then the subfolder or one below it.
FolderWalk WalkChild(const HandleWalk& walk, const os::Folder& parent, const std::string& name,
                     const std::string& path) {
  auto child = std::make_shared<const os::Folder>(parent.OpenChild(name));
  if (!child->IsOpen()) {
    // Gone since it was listed, or not ours to open.
    NotOpened(walk.scan, path);
    return FolderWalk::NotOpened;
  }
  // By what the system says of the folder opened, not by its name: the
  // backup folder reached by another path, or a mount point.
  if (walk.exclusions.Identify() && walk.exclusions.LeavesOut(child->Key())) {
    RecordExcluded(walk.scan, path, ObjectKind::Folder);
    return FolderWalk::Done;
  }
  if (IsBelowSystemFolder(WithSeparator(path))) return FolderWalk::Done;
  return WalkFolder(walk, child, path);
}

// Enters `folder`, whose path is `shown`, and walks it.
FolderWalk WalkFolder(const HandleWalk& walk, const std::shared_ptr<const os::Folder>& handle,
                      const std::string& shown) {
  Scan& scan = walk.scan;
  const os::Folder& folder = *handle;
  os::DirectoryListing listing = folder.List();
  if (!listing.IsOpen() || !folder.MakeCurrent()) {
    NotOpened(scan, shown);
    return FolderWalk::NotOpened;
  }
  const FolderNames here{WithSeparator(shown), true, walk.visit, handle};
  for (const os::DirectoryEntry& entry :
       EntriesOf(scan, here, listing, [&folder] { return folder.List(); })) {
    Step step = VisitEntry(scan, here, entry);
    if (step == Step::Descend) {
      FolderWalk walked = WalkChild(walk, folder, entry.longName, here.shown + entry.longName);
      if (walked == FolderWalk::Stopped) return FolderWalk::Stopped;
      // Back, for the files that follow, to this folder, whatever its name
      // is now; one that can no longer be entered ends here, reported.
      if (walked == FolderWalk::Done && !folder.MakeCurrent()) {
        NotOpened(scan, shown);
        return FolderWalk::Done;
      }
      step = Step::Next;
    }
    if (EndsWalk(scan, step)) return FolderWalk::Stopped;
  }
  if (listing.Failed()) ListingFailed(scan, shown);
  return FolderWalk::Done;
}

}  // namespace

bool IsSelectedFileType(std::string_view ending, std::string_view name) {
  return EqualsIgnoringAsciiCase(ending, ".exe") || EqualsIgnoringAsciiCase(name, "Kernel32.dll") ||
         EqualsIgnoringAsciiCase(name, "Krized.tt6");
}

namespace {

int WalkLevel(Scan& scan, const Exclusions& exclusions) {
  ScanState& state = scan.state();
  const std::string folder(PathView(state.dirPath));
  const std::string base = WithSeparator(folder);
  // When even the separator does not fit, every name below is too long and
  // is refused on its own.
  SetPath(state.dirPath, base);

  os::DirectoryListing listing = os::DirectoryListing::OpenCurrent();
  if (!listing.IsOpen()) {
    NotOpened(scan, folder);
    return 1;
  }
  const FolderNames here{base, false, nullptr, nullptr};
  for (const os::DirectoryEntry& entry :
       EntriesOf(scan, here, listing, [] { return os::DirectoryListing::OpenCurrent(); })) {
    Step step = VisitEntry(scan, here, entry);
    if (step == Step::Descend) step = WalkSubdirectory(scan, exclusions, base, entry);
    if (EndsWalk(scan, step)) return 0;
  }
  if (listing.Failed()) ListingFailed(scan, folder);
  return 1;
}

}  // namespace

int WalkDirectory(Scan& scan) {
  Exclusions exclusions = ExclusionsOf(scan);
  if (exclusions.Identify()) {
    const std::optional<os::FolderKey> root = os::Folder::Current().Key();
    if (exclusions.backup && root == exclusions.backup) {
      RecordExcluded(scan, PathView(scan.state().dirPath), ObjectKind::Folder);
      return 1;
    }
    exclusions.StartAt(root);
  }
  return WalkLevel(scan, exclusions);
}

RootResult WalkRoot(Scan& scan, const std::string& root) {
  ScanState& state = scan.state();
  if (!SetPath(state.rootPath, root)) return RootResult::CannotEnter;
  std::string previous = os::WorkingDirectory();
  if (!os::ChangeDirectory(root)) return RootResult::CannotEnter;
  SetPath(state.dirPath, root);
  int completed = WalkDirectory(scan);
  if (!previous.empty()) os::ChangeDirectory(previous);
  return completed != 0 ? RootResult::Completed : RootResult::Stopped;
}

namespace {

RootResult WalkTreeWith(Scan& scan, const std::string& root, const std::string& shown,
                        const FileVisitor* visit) {
  const os::Folder start = os::Folder::Current();
  // Reached by the rules for a path we are given: a link on the way only
  // where no other user could have placed it; the reason said when not.
  os::ResolvedFolder resolved = os::ResolveFolder(root, os::PathRules{});
  auto top = std::make_shared<const os::Folder>(std::move(resolved.folder));
  FolderWalk walked = FolderWalk::NotOpened;
  if (top->IsOpen()) {
    HandleWalk walk{scan, visit, ExclusionsOf(scan)};
    std::optional<os::FolderKey> identity;
    if (walk.exclusions.Identify()) identity = top->Key();
    walk.exclusions.StartAt(identity);
    if (walk.exclusions.backup && identity == walk.exclusions.backup) {
      RecordExcluded(scan, shown, ObjectKind::Folder);
      walked = FolderWalk::Done;
    } else {
      walked = WalkFolder(walk, top, shown);
    }
  } else {
    if (resolved.refusal.find("symbolic link") != std::string::npos) {
      scan.Reason(shown, resolved.refusal);
      RecordFolderNotOpened(scan, shown);
    } else {
      NotOpened(scan, shown);  // why, from the system's answer
    }
  }
  start.MakeCurrent();
  switch (walked) {
    case FolderWalk::Done:
      return RootResult::Completed;
    case FolderWalk::Stopped:
      return RootResult::Stopped;
    case FolderWalk::NotOpened:
      break;
  }
  return RootResult::CannotEnter;
}

}  // namespace

RootResult WalkTree(Scan& scan, const std::string& root, const std::string& shown) {
  return WalkTreeWith(scan, root, shown, nullptr);
}

RootResult WalkTreeVisiting(Scan& scan, const std::string& root, const std::string& shown,
                            const FileVisitor& visit) {
  return WalkTreeWith(scan, root, shown, &visit);
}

bool IsBackupFolder(const Scan& scan, const std::string& path) {
  const Exclusions exclusions = ExclusionsOf(scan);
  return exclusions.backup && os::Folder::Open(path).Key() == exclusions.backup;
}

bool IsOwnBackup(const Scan& scan, const std::string& folder, std::string_view name) {
  const std::string_view ending =
      name.size() >= kBackupEnding.size() ? name.substr(name.size() - kBackupEnding.size()) : "";
  return EqualsIgnoringAsciiCase(ending, kBackupEnding) && IsBackupFolder(scan, folder);
}

int HandleNamedFile(Scan& scan, const std::string& path, const std::string& shown) {
  ObjectNames names;
  names.shown = shown;
  names.path = path;
  names.shortPath = os::ShortPath(path);
  if (names.shortPath == path) names.shortPath.clear();
  scan.Announce(shown);
  return HandleObjectNamed(scan, names);
}

}  // namespace scan
