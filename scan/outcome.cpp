#include "scan/outcome.h"

#include "os/system.h"
#include "scan/texts.h"

namespace scan {
namespace {

constexpr std::string_view kCutMark = "...";

int32_t& CounterOf(ScanState& state, ScanOutcome outcome) {
  switch (outcome) {
    case ScanOutcome::CannotDelete:
    case ScanOutcome::CannotDisinfect:
      return state.notDisinfectedCount;
    case ScanOutcome::CannotOpen:
      return state.accessDeniedCount;
    case ScanOutcome::Ok:
      return state.cleanCount;
    case ScanOutcome::Infected:
      return state.leftInfectedCount;
    case ScanOutcome::Disinfected:
      return state.disinfectedCount;
    case ScanOutcome::Deleted:
      return state.deletedCount;
    case ScanOutcome::DisinfectAtReboot:
      return state.disinfectAtRebootCount;
    case ScanOutcome::Gone:
      return state.goneCount;
    case ScanOutcome::DeleteAtReboot:
      break;
  }
  return state.deleteAtRebootCount;
}

}  // namespace

std::string_view StatusText(ScanOutcome outcome) {
  return texts::kStatus[static_cast<int32_t>(outcome) + 3];
}

void CountOutcome(ScanState& state, ScanOutcome outcome) { ++CounterOf(state, outcome); }

std::string CutPath(std::string_view path, size_t room) {
  if (path.size() <= room) return std::string(path);
  if (room <= kCutMark.size()) return std::string(kCutMark.substr(0, room));
  // A third for the start (the drive or root), the rest for the end, which
  // holds the name.
  const size_t keep = room - kCutMark.size();
  const size_t head = os::CharacterPrefix(path.data(), path.size(), keep / 3);
  // The tail starts at the first character boundary at or after `from`.
  const size_t from = path.size() - (keep - head);
  size_t tail = from;
  for (size_t limit = from;; ++limit) {
    tail = os::CharacterPrefix(path.data(), path.size(), limit);
    if (tail >= from) break;
  }
  std::string cut;
  cut.reserve(room);
  cut.append(path.substr(0, head)).append(kCutMark).append(path.substr(tail));
  return cut;
}

std::string ComposeStatusLine(std::string_view objectPath, ScanOutcome outcome) {
  std::string_view status = StatusText(outcome);
  size_t room = kMaxPathLength - texts::kStatusSeparator.size() - status.size();
  std::string line = CutPath(objectPath, room);
  line.append(texts::kStatusSeparator).append(status);
  return line;
}

void RecordOutcome(Scan& scan, ScanOutcome outcome) {
  RecordOutcomeFor(scan, PathView(scan.state().objectPath), outcome);
}

void RecordOutcomeFor(Scan& scan, std::string_view objectPath, ScanOutcome outcome) {
  CountOutcome(scan.state(), outcome);
  if (outcome == ScanOutcome::Ok && scan.state().showAllFiles() == 0) return;
  scan.Status(objectPath, outcome, ObjectKind::File);
}

void RecordSystemOutcome(Scan& scan, SystemObject object, ScanOutcome outcome) {
  ScanState& state = scan.state();
  (object == SystemObject::Memory ? state.memoryOutcome : state.registryOutcome) = outcome;
  if (outcome == ScanOutcome::Ok && state.showAllFiles() == 0) return;
  scan.Status(PathView(state.objectPath), outcome, ObjectKind::File);
}

void RecordFolderNotOpened(Scan& scan, std::string_view folderPath) {
  CountOutcome(scan.state(), ScanOutcome::CannotOpen);
  ++scan.state().unopenedFolderCount;
  scan.Status(folderPath, ScanOutcome::CannotOpen, ObjectKind::Folder);
}

void RecordExcluded(Scan& scan, std::string_view path, ObjectKind kind) {
  ++(kind == ObjectKind::Folder ? scan.state().excludedFolderCount
                                : scan.state().excludedFileCount);
  scan.Excluded(path, kind);
}

}  // namespace scan
