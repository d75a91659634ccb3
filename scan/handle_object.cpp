#include "scan/handle_object.h"

#include <optional>

#include "engine/journal.h"
#include "engine/repair_transaction.h"
#include "engine/virus_body.h"
#include "os/file.h"
#include "os/file_ops.h"
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
    settings.keepBackup = [folder = options.backupFolder, faults = options.faults,
                           shown](const std::string& path) {
      return KeepBackup(folder, path, shown, faults);
    };
  }
  return settings;
}

void Tell(const Scan& scan, const std::string& path, const std::string& what) {
  scan.Tell((path + ": " + what).c_str(), "krizclean");
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

ScanOutcome DeleteNowOrAtRestart(Scan& scan, const std::string& path) {
  if (os::RemoveFile(path)) return ScanOutcome::Deleted;
  return scan.ReplaceAtRestart(std::nullopt, path) ? ScanOutcome::DeleteAtReboot
                                                   : ScanOutcome::CannotDelete;
}

// A free name for the cleaned copy of `path`: never one in use, and one that
// a killed run left behind is first cleared by its journal.
std::string FreeCopyName(Scan& scan, const std::string& path) {
  for (int attempt = 0; attempt < kCopyNameAttempts; ++attempt) {
    std::string candidate = CopyNameFor(path, attempt);
    if (candidate.empty()) break;
    std::string journal = engine::JournalPathFor(candidate);
    if (os::ReadAttributes(journal)) RecoverInterruptedRepair(scan, journal);
    if (!os::ReadAttributes(candidate) && !os::ReadAttributes(journal)) return candidate;
  }
  return std::string();
}

// The file is in use: a cleaned copy beside it takes its place at restart.
// The copy is removed again on every path that does not end in that.
ScanOutcome CleanCopy(Scan& scan, const std::string& path, const std::string& shown,
                      std::optional<os::FileAttributes> clearedFrom,
                      const engine::RepairSettings& settings) {
  std::string copy = FreeCopyName(scan, path);
  if (copy.empty()) {
    // The attempt in place left its journal, which keeps the file's mark.
    RecoverInterruptedRepair(scan, engine::JournalPathFor(path), shown);
    return ScanOutcome::CannotDisinfect;
  }
  ScanOutcome outcome = ScanOutcome::CannotDisinfect;
  auto schedule = [&](const std::string& file, const std::string& cleaned) {
    if (scan.DeleteInstead(file)) {
      os::RemoveFile(cleaned, settings.faults);
      outcome = scan.ReplaceAtRestart(std::nullopt, file) ? ScanOutcome::DeleteAtReboot
                                                          : ScanOutcome::CannotDelete;
      return true;
    }
    if (!scan.ReplaceAtRestart(file, cleaned)) return false;
    outcome = ScanOutcome::DisinfectAtReboot;
    return true;
  };
  engine::RepairOutcome repaired =
      engine::RepairAsCopy(path, copy, clearedFrom, schedule, settings);
  if (repaired.status == engine::RepairStatus::NotDone && !repaired.detail.empty()) {
    Tell(scan, shown, "not cleaned: " + repaired.detail);
  }
  return repaired.status == engine::RepairStatus::Cleaned ? outcome : ScanOutcome::CannotDisinfect;
}

// `path` is the name to clean the file by, `shown` the one to tell the user.
ScanOutcome Clean(Scan& scan, const std::string& path, const std::string& shown) {
  engine::RepairSettings settings = SettingsFrom(scan.seams(), shown);
  std::optional<os::FileAttributes> clearedFrom;
  engine::RepairOutcome repaired = engine::RepairInPlace(path, settings, &clearedFrom);
  switch (repaired.status) {
    case engine::RepairStatus::Cleaned:
      return scan.DeleteInstead(path) ? DeleteNowOrAtRestart(scan, path) : ScanOutcome::Disinfected;
    case engine::RepairStatus::InUse:
      return CleanCopy(scan, path, shown, clearedFrom, settings);
    case engine::RepairStatus::NotDone:
      Tell(scan, shown, "not cleaned: " + repaired.detail);
      return ScanOutcome::CannotDisinfect;
    case engine::RepairStatus::Refused:
      return ScanOutcome::CannotDisinfect;
  }
  return ScanOutcome::CannotDisinfect;
}

}  // namespace

ScanOutcome TestObject(Scan& scan, const ObjectNames& names) {
  // A repair that a killed run left half-way is undone before anything else.
  if (!names.journalsDone &&
      !RecoverInterruptedRepair(scan, engine::JournalPathFor(names.path), names.shown)) {
    return ScanOutcome::CannotOpen;
  }
  os::File file =
      names.folder != nullptr ? names.folder->OpenToRead(names.name) : OpenForTest(names.path);
  if (!file.IsOpen() && !names.shortPath.empty()) file = OpenForTest(names.shortPath);
  if (!file.IsOpen()) return ScanOutcome::CannotOpen;
  return engine::IsInfected(file) ? ScanOutcome::Infected : ScanOutcome::Ok;
}

Decision DecideOnInfected(Scan& scan) {
  switch (scan.state().actionMode()) {
    case ActionMode::AskUser: {
      int32_t answer = scan.Ask(PathView(scan.state().objectPath));
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
  switch (DecideOnInfected(scan)) {
    case Decision::Clean:
      return Clean(scan, names.path, names.shown);
    case Decision::LeaveInfected:
      return ScanOutcome::Infected;
    case Decision::Barred:
      return ScanOutcome::CannotDisinfect;
    case Decision::Quit:
      return std::nullopt;
  }
  return ScanOutcome::CannotDisinfect;
}

bool RecoverInterruptedRepair(Scan& scan, const std::string& journalPath,
                              const std::string& shown) {
  if (!os::ReadAttributes(journalPath)) return true;  // the common case: no journal
  engine::RecoveryResult recovered =
      engine::RecoverFromJournal(journalPath, scan.seams().repair.faults);
  std::string file = shown.empty() ? engine::TargetOfJournal(journalPath) : shown;
  switch (recovered.what) {
    case engine::Recovery::None:
    case engine::Recovery::Discarded:
      return true;
    case engine::Recovery::PutBack:
      Tell(scan, file, "put back as it was before an interrupted cleaning");
      return true;
    case engine::Recovery::CopyGone:
      Tell(scan, file, "an unfinished copy from an interrupted cleaning was removed");
      return true;
    case engine::Recovery::Failed:
      Tell(scan, file, "an interrupted cleaning could not be undone: " + recovered.detail);
      return false;
  }
  return false;
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

int HandleObjectNamed(Scan& scan, const ObjectNames& names) {
  ScanState& state = scan.state();
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
