#include "scan/handle_object.h"

#include <optional>

#include "engine/journal.h"
#include "engine/repair_transaction.h"
#include "engine/virus_body.h"
#include "os/file.h"
#include "os/file_ops.h"
#include "os/system.h"
#include "scan/backup.h"
#include "scan/outcome.h"
#include "scan/scan_state.h"

namespace scan {
namespace {

// How many names CopyNameFor tries before a copy is given up as impossible.
constexpr int kCopyNameAttempts = 16;

// `shown` names the file in the backup folder's manifest.
engine::RepairSettings SettingsFrom(const ScanSeams& seams, const std::string& shown) {
  const RepairOptions& options = seams.repair;
  engine::RepairSettings settings;
  settings.plan = seams.plan != nullptr ? seams.plan : engine::PlanRepair;
  settings.faults = options.faults;
  if (!options.backupFolder.empty()) {
    settings.keepBackup = [folder = options.backupFolder, handle = options.backupHandle,
                           faults = options.faults, shown](os::File& file) {
      return handle != nullptr ? KeepBackup(*handle, file, shown, faults)
                               : KeepBackup(folder, file, shown, faults);
    };
  }
  return settings;
}

void Tell(const Scan& scan, const std::string& path, const std::string& what) {
  scan.Tell((path + ": " + what).c_str(), "krizclean");
}

// Where the folder part of a path ends: after its last separator.
size_t NameStart(const std::string& path) {
  size_t at = os::PathSeparator() == '\\' ? path.find_last_of("\\/") : path.rfind('/');
  return at == std::string::npos ? 0 : at + 1;
}

// `path` with its last name replaced by `name`.
std::string Beside(const std::string& path, const std::string& name) {
  return path.substr(0, NameStart(path)) + name;
}

std::string JournalNameFor(const std::string& name) {
  return name + std::string(engine::kJournalSuffix);
}

// Characters that cannot end a file name, or that Windows would strip from
// its end (so that the "copy" would name the file itself).
bool CanEndFileName(unsigned char c) {
  switch (c) {
    case '.':
    case ' ':
    case '/':
    case '\\':
    case ':':
    case '*':
    case '?':
    case '"':
    case '<':
    case '>':
    case '|':
      return false;
    default:
      return c > 0x20 && c != 0x7F;
  }
}

unsigned char Successor(unsigned char c) {
  if (c == 'z') return 'a';
  if (c == 'Z') return 'A';
  return static_cast<unsigned char>(c + 1);
}

os::File OpenForTest(const std::string& path) {
  return os::File::Open(path, os::Access::Read, os::Share::ReadWrite,
                        os::Disposition::OpenExisting);
}

// The file's folder, held open, and its name there: the walk's, or else
// those of its path, where a symbolic link that the user named is followed
// once, so that the file is the real one and its journal lies beside it.
void Locate(ObjectNames& names) {
  if (names.folder != nullptr) return;
  names.folder =
      std::make_shared<const os::Folder>(os::Folder::OpenParent(names.path, true, names.name));
}

// A journal that was not carried out: the user is told why on the seam for
// reasons, and it is counted as not scanned under its own name.
void LeaveJournal(Scan& scan, const std::string& shownJournal, const std::string& why) {
  if (!scan.FirstTime(shownJournal)) return;
  scan.Reason(shownJournal, why);
  RecordOutcomeFor(scan, shownJournal, ScanOutcome::CannotOpen);
}

ScanOutcome DeleteNowOrAtRestart(Scan& scan, const ObjectNames& names) {
  if (names.folder->Remove(names.name)) return ScanOutcome::Deleted;
  return scan.ReplaceAtRestart(std::nullopt, names.path) ? ScanOutcome::DeleteAtReboot
                                                         : ScanOutcome::CannotDelete;
}

// A free name for the cleaned copy of the file: never one in use, and one
// that a killed run left behind is first cleared by its journal (unless the
// walk has carried out the folder's journals already).
std::string FreeCopyName(Scan& scan, const ObjectNames& names) {
  const os::Folder& folder = *names.folder;
  for (int attempt = 0; attempt < kCopyNameAttempts; ++attempt) {
    std::string candidate = CopyNameFor(names.name, attempt);
    if (candidate.empty()) break;
    const std::string journal = JournalNameFor(candidate);
    if (!names.journalsDone && folder.Look(journal).kind != os::EntryInfo::Kind::Missing) {
      RecoverInterruptedRepair(scan, folder, journal, Beside(names.shown, candidate));
    }
    if (folder.Look(candidate).kind == os::EntryInfo::Kind::Missing &&
        folder.Look(journal).kind == os::EntryInfo::Kind::Missing) {
      return candidate;
    }
  }
  return std::string();
}

// The file is in use: a cleaned copy beside it takes its place at restart.
// The copy is removed again on every path that does not end in that.
ScanOutcome CleanCopy(Scan& scan, const ObjectNames& names,
                      std::optional<os::FileAttributes> clearedFrom,
                      const engine::RepairSettings& settings) {
  const os::Folder& folder = *names.folder;
  std::string copy = FreeCopyName(scan, names);
  if (copy.empty()) {
    // The attempt in place left its journal, which keeps the file's mark.
    RecoverInterruptedRepair(scan, folder, JournalNameFor(names.name), names.shown);
    return ScanOutcome::CannotDisinfect;
  }
  // The restart is asked for by the names the system knows the files by.
  const std::string path = names.path;
  const std::string copyPath =
      path.size() >= names.name.size() &&
              path.compare(path.size() - names.name.size(), names.name.size(), names.name) == 0
          ? Beside(path, copy)
          : folder.PathOf(copy);
  ScanOutcome outcome = ScanOutcome::CannotDisinfect;
  auto schedule = [&](const std::string&, const std::string& cleaned) {
    if (scan.DeleteInstead(path)) {
      folder.Remove(cleaned, settings.faults);
      outcome = scan.ReplaceAtRestart(std::nullopt, path) ? ScanOutcome::DeleteAtReboot
                                                          : ScanOutcome::CannotDelete;
      return true;
    }
    if (!scan.ReplaceAtRestart(path, copyPath)) return false;
    outcome = ScanOutcome::DisinfectAtReboot;
    return true;
  };
  engine::RepairOutcome repaired = engine::RepairAsCopy(folder, names.name, copy, clearedFrom,
                                                        names.identity, schedule, settings);
  if (repaired.status == engine::RepairStatus::NotDone && !repaired.detail.empty()) {
    Tell(scan, names.shown, "not cleaned: " + repaired.detail);
  }
  return repaired.status == engine::RepairStatus::Cleaned ? outcome : ScanOutcome::CannotDisinfect;
}

ScanOutcome Clean(Scan& scan, ObjectNames names) {
  Locate(names);
  if (!names.folder->IsOpen()) {
    Tell(scan, names.shown, "not cleaned: its folder cannot be opened");
    return ScanOutcome::CannotDisinfect;
  }
  engine::RepairSettings settings = SettingsFrom(scan.seams(), names.shown);
  std::optional<os::FileAttributes> clearedFrom;
  engine::RepairOutcome repaired =
      engine::RepairInPlace(*names.folder, names.name, names.identity, settings, &clearedFrom);
  switch (repaired.status) {
    case engine::RepairStatus::Cleaned:
      return scan.DeleteInstead(names.path) ? DeleteNowOrAtRestart(scan, names)
                                            : ScanOutcome::Disinfected;
    case engine::RepairStatus::InUse:
      return CleanCopy(scan, names, clearedFrom, settings);
    case engine::RepairStatus::NotDone:
      Tell(scan, names.shown, "not cleaned: " + repaired.detail);
      // Removed since it was scanned (while its prompt was open): nothing
      // infected is left of it.
      return names.folder->Look(names.name).kind == os::EntryInfo::Kind::Missing &&
                     (names.shortPath.empty() || !os::ReadAttributes(names.shortPath))
                 ? ScanOutcome::Gone
                 : ScanOutcome::CannotDisinfect;
    case engine::RepairStatus::Refused:
      return ScanOutcome::CannotDisinfect;
  }
  return ScanOutcome::CannotDisinfect;
}

}  // namespace

ScanOutcome TestObject(Scan& scan, ObjectNames& names) {
  Locate(names);
  const os::Folder& folder = *names.folder;
  // A repair that a killed run left half-way is undone before anything else;
  // a scan that only reads leaves it, and the file half-way, unscanned.
  bool halfway = false;
  if (!names.journalsDone && folder.IsOpen() &&
      !RecoverInterruptedRepair(scan, folder, JournalNameFor(names.name), names.shown, &halfway) &&
      halfway) {
    return ScanOutcome::CannotOpen;
  }
  os::File file = folder.OpenToRead(names.name);
  if (!file.IsOpen() && !names.shortPath.empty()) file = OpenForTest(names.shortPath);
  if (!file.IsOpen()) {
    const std::string why = os::WhyNotOpened();
    scan.Reason(names.shown, folder.Look(names.name).kind == os::EntryInfo::Kind::Other
                                 ? "not a regular file"
                                 : why);
    return ScanOutcome::CannotOpen;
  }
  names.identity = file.IdentityWhenOpened();
  return engine::IsInfected(file) ? ScanOutcome::Infected : ScanOutcome::Ok;
}

Decision DecideOnInfected(Scan& scan) {
  return DecideOnInfected(scan, PathView(scan.state().objectPath));
}

Decision DecideOnInfected(Scan& scan, std::string_view shown) {
  switch (scan.state().actionMode()) {
    case ActionMode::AskUser: {
      int32_t answer = scan.Ask(shown);
      if (answer == static_cast<int32_t>(PromptChoice::Quit)) return Decision::Quit;
      if (answer != static_cast<int32_t>(PromptChoice::Disinfect)) return Decision::LeaveInfected;
      return Decision::Clean;
    }
    case ActionMode::Clean:
      return Decision::Clean;
    case ActionMode::ScanOnly:
      return Decision::LeaveInfected;
    default:
      return Decision::Barred;  // no object is changed any more
  }
}

std::optional<ScanOutcome> ActOnInfected(Scan& scan, const ObjectNames& names) {
  switch (DecideOnInfected(scan, names.shown)) {
    case Decision::Clean:
      return Clean(scan, names);
    case Decision::LeaveInfected:
      return ScanOutcome::Infected;
    case Decision::Barred:
      return ScanOutcome::CannotDisinfect;
    case Decision::Quit:
      return std::nullopt;
  }
  return ScanOutcome::CannotDisinfect;
}

bool MayChangeFiles(const Scan& scan) {
  const ActionMode mode = scan.state().actionMode();
  return mode == ActionMode::Clean || mode == ActionMode::AskUser;
}

bool RecoverInterruptedRepair(Scan& scan, const os::Folder& folder, const std::string& journalName,
                              const std::string& shown, bool* halfway) {
  if (halfway != nullptr) *halfway = false;
  if (folder.Look(journalName).kind == os::EntryInfo::Kind::Missing)
    return true;  // the common case
  // A scan that only reads writes nothing, not even to finish a cleaning.
  engine::RecoveryResult recovered = engine::RecoverFromJournal(
      folder, journalName, scan.seams().repair.faults, !MayChangeFiles(scan));
  const std::string shownJournal = JournalNameFor(shown);
  switch (recovered.what) {
    case engine::Recovery::None:
    case engine::Recovery::Discarded:
      return true;
    case engine::Recovery::PutBack:
      Tell(scan, shown, "put back as it was before an interrupted cleaning");
      return true;
    case engine::Recovery::CopyGone:
      Tell(scan, shown, "an unfinished copy from an interrupted cleaning was removed");
      return true;
    case engine::Recovery::Untrusted:
      LeaveJournal(scan, shownJournal,
                   "untrusted journal: " + recovered.detail + "; left as it is");
      return false;
    case engine::Recovery::Busy:
      LeaveJournal(scan, shownJournal, "journal of a cleaning that runs now: " + recovered.detail);
      return false;
    case engine::Recovery::Failed:
      LeaveJournal(scan, shownJournal,
                   "an interrupted cleaning could not be undone: " + recovered.detail);
      return false;
    case engine::Recovery::Pending:
      if (scan.FirstTime(shown)) scan.Reason(shown, kInterruptedCleaning);
      if (halfway != nullptr) *halfway = true;
      return false;
  }
  return false;
}

bool RecoverInterruptedRepair(Scan& scan, const std::string& journalPath,
                              const std::string& shown) {
  const std::string target = engine::TargetOfJournal(journalPath);
  if (target.empty()) return true;
  std::string name;
  const os::Folder folder = os::Folder::OpenParent(target, true, name);
  if (!folder.IsOpen()) return true;
  return RecoverInterruptedRepair(scan, folder, JournalNameFor(name),
                                  shown.empty() ? target : shown);
}

std::string CopyNameFor(const std::string& path, int attempt) {
  if (path.empty() || attempt < 0) return std::string();
  unsigned char last = static_cast<unsigned char>(path.back());
  unsigned char next = last;
  for (int step = 0; step <= attempt; ++step) {
    // At most one turn through all byte values per step.
    int guard = 0;
    do {
      next = Successor(next);
    } while (!CanEndFileName(next) && ++guard < 256);
    if (next == last || !CanEndFileName(next)) return std::string();
  }
  std::string copy = path;
  copy.back() = static_cast<char>(next);
  return copy;
}

int HandleObject(Scan& scan) {
  ScanState& state = scan.state();
  ObjectNames names;
  names.shown = names.path = std::string(PathView(state.objectPath));
  names.shortPath = std::string(PathView(state.objectShortPath));
  return HandleObjectNamed(scan, names);
}

int HandleObjectNamed(Scan& scan, const ObjectNames& given) {
  ScanState& state = scan.state();
  ObjectNames names = given;
  SetPath(state.objectPath, CutPath(names.shown, kMaxPathLength));
  if (!SetPath(state.objectShortPath, names.shortPath)) SetPath(state.objectShortPath, "");
  scan.snapshot().Publish(PathView(state.objectPath));
  std::optional<ScanOutcome> outcome = TestObject(scan, names);
  if (outcome == ScanOutcome::Infected) outcome = ActOnInfected(scan, names);
  if (!outcome) return 0;
  RecordOutcomeFor(scan, names.shown, *outcome);
  return 1;
}

}  // namespace scan
