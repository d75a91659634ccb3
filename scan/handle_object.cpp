#include "scan/handle_object.h"

#include <atomic>
#include <optional>

#include "engine/checksum.h"
#include "engine/disinfect.h"
#include "engine/virus_body.h"
#include "os/file.h"
#include "os/file_ops.h"
#include "repair/restart.h"
#include "scan/object_snapshot.h"
#include "scan/outcome.h"
#include "scan/scan_state.h"

namespace scan {
namespace {

// How many names CopyNameFor tries before a copy is given up as impossible.
constexpr int kCopyNameAttempts = 16;

int32_t AnswerSkip() { return static_cast<int32_t>(PromptChoice::Skip); }

std::atomic<InfectionPrompt> g_prompt{AnswerSkip};

using DisinfectFn = bool (*)(os::File&, int32_t*);
using ReplaceFn = bool (*)(const std::optional<std::string>&, const std::string&);
std::atomic<DisinfectFn> g_disinfect{engine::DisinfectFile};
std::atomic<ReplaceFn> g_replaceAtRestart{repair::ReplaceAtRestart};

bool ReplaceAtRestart(const std::optional<std::string>& destination, const std::string& source) {
  return g_replaceAtRestart.load()(destination, source);
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

os::File OpenForCleaning(const std::string& path) {
  return os::File::Open(path, os::Access::ReadWrite, os::Share::Read,
                        os::Disposition::OpenExisting);
}

// Disinfects through `file`, closes it, and repairs the checksum of the file
// at `path` whatever the disinfection gave. Returns the disinfection's result.
bool DisinfectAndRepair(os::File& file, const std::string& path, int32_t& deleteInstead) {
  deleteInstead = 0;
  bool cleaned = g_disinfect.load()(file, &deleteInstead);
  file.Close();
  engine::RepairImageChecksum(path, false);
  return cleaned;
}

ScanOutcome DeleteNowOrAtRestart(const std::string& path) {
  if (os::RemoveFile(path)) return ScanOutcome::Deleted;
  return ReplaceAtRestart(std::nullopt, path) ? ScanOutcome::DeleteAtReboot
                                              : ScanOutcome::CannotDelete;
}

ScanOutcome CleanInPlace(os::File& file, const std::string& path,
                         std::optional<os::FileAttributes> clearedFrom) {
  int32_t deleteInstead = 0;
  bool cleaned = DisinfectAndRepair(file, path, deleteInstead);
  if (cleaned && deleteInstead != 0) return DeleteNowOrAtRestart(path);
  if (clearedFrom) os::WriteAttributes(path, *clearedFrom);
  return cleaned ? ScanOutcome::Disinfected : ScanOutcome::CannotDisinfect;
}

// The file is in use: a cleaned copy beside it takes its place at restart.
// The copy is removed again on every path that does not end in that.
ScanOutcome CleanCopy(const std::string& path, std::optional<os::FileAttributes> clearedFrom) {
  // A file that stays as it was keeps its read-only mark too.
  auto unchanged = [&] {
    if (clearedFrom) os::WriteAttributes(path, *clearedFrom);
    return ScanOutcome::CannotDisinfect;
  };
  std::string copy;
  for (int attempt = 0; attempt < kCopyNameAttempts && copy.empty(); ++attempt) {
    std::string candidate = CopyNameFor(path, attempt);
    if (candidate.empty()) break;
    // Never over another file: a name in use is passed over.
    if (os::ReadAttributes(candidate).has_value()) continue;
    if (!os::CopyNew(path, candidate)) return unchanged();
    copy = candidate;
  }
  if (copy.empty()) return unchanged();

  os::File file = OpenForCleaning(copy);
  if (!file.IsOpen()) {
    os::RemoveFile(copy);
    return unchanged();
  }
  int32_t deleteInstead = 0;
  bool cleaned = DisinfectAndRepair(file, copy, deleteInstead);
  if (cleaned && deleteInstead == 0) {
    if (ReplaceAtRestart(path, copy)) return ScanOutcome::DisinfectAtReboot;
    os::RemoveFile(copy);
    return unchanged();
  }
  os::RemoveFile(copy);
  if (cleaned) {
    return ReplaceAtRestart(std::nullopt, path) ? ScanOutcome::DeleteAtReboot
                                                : ScanOutcome::CannotDelete;
  }
  return unchanged();
}

// Steps 1 to 7 for one object; nullopt when the user answered Quit.
std::optional<ScanOutcome> Handle(const std::string& path, const std::string& shortPath) {
  bool infected = false;
  {
    os::File file = OpenForTest(path);
    if (!file.IsOpen() && !shortPath.empty()) file = OpenForTest(shortPath);
    if (!file.IsOpen()) return ScanOutcome::CannotOpen;
    infected = engine::IsInfected(file);
  }
  if (!infected) return ScanOutcome::Ok;

  switch (TheScanState().actionMode()) {
    case ActionMode::AskUser: {
      int32_t answer = g_prompt.load()();
      if (answer == static_cast<int32_t>(PromptChoice::Quit)) return std::nullopt;
      if (answer != static_cast<int32_t>(PromptChoice::Disinfect)) return ScanOutcome::Infected;
      break;
    }
    case ActionMode::Clean:
      break;
    case ActionMode::ScanOnly:
      return ScanOutcome::Infected;
    default:
      return ScanOutcome::CannotDisinfect;  // no object is changed any more
  }

  std::optional<os::FileAttributes> clearedFrom;
  if (std::optional<os::FileAttributes> attributes = os::ReadAttributes(path)) {
    if (os::IsReadOnly(*attributes) &&
        os::WriteAttributes(path, os::WithoutReadOnly(*attributes))) {
      clearedFrom = attributes;
    }
  }
  os::File file = OpenForCleaning(path);
  if (file.IsOpen()) return CleanInPlace(file, path, clearedFrom);
  return CleanCopy(path, clearedFrom);
}

}  // namespace

void SetCleaningActions(const CleaningActions& actions) {
  g_disinfect.store(actions.disinfect != nullptr ? actions.disinfect : engine::DisinfectFile);
  g_replaceAtRestart.store(actions.replaceAtRestart != nullptr ? actions.replaceAtRestart
                                                               : repair::ReplaceAtRestart);
}

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
  std::optional<ScanOutcome> outcome = Handle(names.path, names.shortPath);
  if (!outcome) return 0;
  RecordOutcomeFor(names.shown, *outcome);
  return 1;
}

}  // namespace scan
