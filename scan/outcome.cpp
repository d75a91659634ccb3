#include "scan/outcome.h"

#include <atomic>

#include "os/system.h"
#include "scan/status_ring.h"
#include "scan/texts.h"

namespace scan {
namespace {

std::atomic<StatusLineSink> g_sink{QueueInStatusRing};

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
    case ScanOutcome::DeleteAtReboot:
      break;
  }
  return state.deleteAtRebootCount;
}

}  // namespace

std::string_view StatusText(ScanOutcome outcome) {
  return texts::kStatus[static_cast<int32_t>(outcome) + 3];
}

void CountOutcome(ScanOutcome outcome) { ++CounterOf(TheScanState(), outcome); }

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

void RecordOutcome(ScanOutcome outcome) {
  RecordOutcomeFor(PathView(TheScanState().objectPath), outcome);
}

void RecordOutcomeFor(std::string_view objectPath, ScanOutcome outcome) {
  CountOutcome(outcome);
  if (outcome == ScanOutcome::Ok && TheScanState().showAllFiles() == 0) return;
  g_sink.load()(objectPath, outcome, ObjectKind::File);
}

void RecordFolderNotOpened(std::string_view folderPath) {
  CountOutcome(ScanOutcome::CannotOpen);
  ++TheScanState().unopenedFolderCount;
  g_sink.load()(folderPath, ScanOutcome::CannotOpen, ObjectKind::Folder);
}

void QueueInStatusRing(std::string_view objectPath, ScanOutcome outcome, ObjectKind) {
  QueueStatusLine(ComposeStatusLine(objectPath, outcome));
}

void SetStatusLineSink(StatusLineSink sink) {
  g_sink.store(sink != nullptr ? sink : QueueInStatusRing);
}

}  // namespace scan
