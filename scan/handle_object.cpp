#include "scan/handle_object.h"

#include <atomic>
#include <optional>

#include "engine/journal.h"
#include "engine/repair_transaction.h"
#include "engine/virus_body.h"
#include "os/file.h"
#include "os/file_ops.h"
#include "repair/restart.h"
#include "scan/backup.h"
#include "scan/object_snapshot.h"
#include "scan/outcome.h"
#include "scan/scan_state.h"
#include "scan/user_message.h"

namespace scan {
namespace {

// How many names CopyNameFor tries before a copy is given up as impossible.
constexpr int kCopyNameAttempts = 16;

int32_t AnswerSkip() { return static_cast<int32_t>(PromptChoice::Skip); }
bool NeverDelete(const std::string&) { return false; }

std::atomic<InfectionPrompt> g_prompt{AnswerSkip};

using PlanFn = engine::PlanResult (*)(os::ByteSource&);
using DeleteInsteadFn = bool (*)(const std::string&);
using ReplaceFn = bool (*)(const std::optional<std::string>&, const std::string&);
std::atomic<PlanFn> g_plan{engine::PlanRepair};
std::atomic<DeleteInsteadFn> g_deleteInstead{NeverDelete};
std::atomic<ReplaceFn> g_replaceAtRestart{repair::ReplaceAtRestart};
// Set before a scan starts, read by the thread that handles objects.
RepairOptions g_options;

const RepairOptions& Options() { return g_options; }

bool ReplaceAtRestart(const std::optional<std::string>& destination, const std::string& source) {
  return g_replaceAtRestart.load()(destination, source);
}

engine::RepairSettings SettingsFrom(const RepairOptions& options) {
  engine::RepairSettings settings;
  settings.plan = g_plan.load();
  settings.faults = options.faults;
  if (!options.backupFolder.empty()) {
    settings.keepBackup = [folder = options.backupFolder, faults = options.faults](
                              const std::string& path) { return KeepBackup(folder, path, faults); };
  }
  return settings;
}

void Tell(const std::string& path, const std::string& what) {
  ShowUserMessage((path + ": " + what).c_str(), "krizclean");
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

ScanOutcome DeleteNowOrAtRestart(const std::string& path) {
  if (os::RemoveFile(path)) return ScanOutcome::Deleted;
  return ReplaceAtRestart(std::nullopt, path) ? ScanOutcome::DeleteAtReboot
                                              : ScanOutcome::CannotDelete;
}

// A free name for the cleaned copy of `path`: never one in use, and one that
// a killed run left behind is first cleared by its journal.
std::string FreeCopyName(const std::string& path) {
  for (int attempt = 0; attempt < kCopyNameAttempts; ++attempt) {
    std::string candidate = CopyNameFor(path, attempt);
    if (candidate.empty()) break;
    std::string journal = engine::JournalPathFor(candidate);
    if (os::ReadAttributes(journal)) RecoverInterruptedRepair(journal);
    if (!os::ReadAttributes(candidate) && !os::ReadAttributes(journal)) return candidate;
  }
  return std::string();
}

// The file is in use: a cleaned copy beside it takes its place at restart.
// The copy is removed again on every path that does not end in that.
ScanOutcome CleanCopy(const std::string& path, const std::string& shown,
                      std::optional<os::FileAttributes> clearedFrom,
                      const engine::RepairSettings& settings) {
  std::string copy = FreeCopyName(path);
  if (copy.empty()) {
    // The attempt in place left its journal, which keeps the file's mark.
    RecoverInterruptedRepair(engine::JournalPathFor(path), shown);
    return ScanOutcome::CannotDisinfect;
  }
  ScanOutcome outcome = ScanOutcome::CannotDisinfect;
  auto schedule = [&](const std::string& file, const std::string& cleaned) {
    if (g_deleteInstead.load()(file)) {
      os::RemoveFile(cleaned, settings.faults);
      outcome = ReplaceAtRestart(std::nullopt, file) ? ScanOutcome::DeleteAtReboot
                                                     : ScanOutcome::CannotDelete;
      return true;
    }
    if (!ReplaceAtRestart(file, cleaned)) return false;
    outcome = ScanOutcome::DisinfectAtReboot;
    return true;
  };
  engine::RepairOutcome repaired =
      engine::RepairAsCopy(path, copy, clearedFrom, schedule, settings);
  if (repaired.status == engine::RepairStatus::NotDone && !repaired.detail.empty()) {
    Tell(shown, "not cleaned: " + repaired.detail);
  }
  return repaired.status == engine::RepairStatus::Cleaned ? outcome : ScanOutcome::CannotDisinfect;
}

// `path` is the name to clean the file by, `shown` the one to tell the user.
ScanOutcome Clean(const std::string& path, const std::string& shown) {
  engine::RepairSettings settings = SettingsFrom(Options());
  std::optional<os::FileAttributes> clearedFrom;
  engine::RepairOutcome repaired = engine::RepairInPlace(path, settings, &clearedFrom);
  switch (repaired.status) {
    case engine::RepairStatus::Cleaned:
      return g_deleteInstead.load()(path) ? DeleteNowOrAtRestart(path) : ScanOutcome::Disinfected;
    case engine::RepairStatus::InUse:
      return CleanCopy(path, shown, clearedFrom, settings);
    case engine::RepairStatus::NotDone:
      Tell(shown, "not cleaned: " + repaired.detail);
      return ScanOutcome::CannotDisinfect;
    case engine::RepairStatus::Refused:
      return ScanOutcome::CannotDisinfect;
  }
  return ScanOutcome::CannotDisinfect;
}

// Steps 1 to 7 for one object; nullopt when the user answered Quit.
std::optional<ScanOutcome> Handle(const ObjectNames& names) {
  const std::string& path = names.path;
  const std::string& shortPath = names.shortPath;
  // A repair that a killed run left half-way is undone before anything else.
  if (!names.journalsDone && !RecoverInterruptedRepair(engine::JournalPathFor(path), names.shown)) {
    return ScanOutcome::CannotOpen;
  }
  bool infected = false;
  {
    os::File file = OpenForTest(path);
    if (!file.IsOpen() && !shortPath.empty()) file = OpenForTest(shortPath);
    if (!file.IsOpen()) return ScanOutcome::CannotOpen;
    infected = engine::IsInfected(file);
  }
  if (!infected) return ScanOutcome::Ok;

  switch (DecideOnInfected()) {
    case Decision::Clean:
      return Clean(path, names.shown);
    case Decision::LeaveInfected:
      return ScanOutcome::Infected;
    case Decision::Barred:
      return ScanOutcome::CannotDisinfect;
    case Decision::Quit:
      return std::nullopt;
  }
  return ScanOutcome::CannotDisinfect;
}

}  // namespace

Decision DecideOnInfected() {
  switch (TheScanState().actionMode()) {
    case ActionMode::AskUser: {
      int32_t answer = g_prompt.load()();
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

bool RecoverInterruptedRepair(const std::string& journalPath, const std::string& shown) {
  if (!os::ReadAttributes(journalPath)) return true;  // the common case: no journal
  engine::RecoveryResult recovered = engine::RecoverFromJournal(journalPath, Options().faults);
  std::string file = shown.empty() ? engine::TargetOfJournal(journalPath) : shown;
  switch (recovered.what) {
    case engine::Recovery::None:
    case engine::Recovery::Discarded:
      return true;
    case engine::Recovery::PutBack:
      Tell(file, "put back as it was before an interrupted cleaning");
      return true;
    case engine::Recovery::CopyGone:
      Tell(file, "an unfinished copy from an interrupted cleaning was removed");
      return true;
    case engine::Recovery::Failed:
      Tell(file, "an interrupted cleaning could not be undone: " + recovered.detail);
      return false;
  }
  return false;
}

void SetCleaningActions(const CleaningActions& actions) {
  g_plan.store(actions.plan != nullptr ? actions.plan : engine::PlanRepair);
  g_deleteInstead.store(actions.deleteInstead != nullptr ? actions.deleteInstead : NeverDelete);
  g_replaceAtRestart.store(actions.replaceAtRestart != nullptr ? actions.replaceAtRestart
                                                               : repair::ReplaceAtRestart);
}

void SetRepairOptions(const RepairOptions& options) { g_options = options; }

void SetInfectionPrompt(InfectionPrompt prompt) {
  g_prompt.store(prompt != nullptr ? prompt : AnswerSkip);
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

int HandleObject() {
  ScanState& state = TheScanState();
  std::string path(PathView(state.objectPath));
  return HandleObjectNamed({path, path, std::string(PathView(state.objectShortPath))});
}

int HandleObjectNamed(const ObjectNames& names) {
  ScanState& state = TheScanState();
  SetPath(state.objectPath, CutPath(names.shown, kMaxPathLength));
  if (!SetPath(state.objectShortPath, names.shortPath)) SetPath(state.objectShortPath, "");
  PublishObjectPath();
  std::optional<ScanOutcome> outcome = Handle(names);
  if (!outcome) return 0;
  RecordOutcomeFor(names.shown, *outcome);
  return 1;
}

}  // namespace scan
