#include "scan/outcome.h"

#include <atomic>

#include "os/system.h"
#include "scan/status_ring.h"
#include "scan/texts.h"

namespace scan {
namespace {

std::atomic<StatusLineSink> g_sink{QueueInStatusRing};

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

std::string ComposeStatusLine(std::string_view objectPath, ScanOutcome outcome) {
  std::string_view status = StatusText(outcome);
  size_t room = kMaxPathLength - texts::kStatusSeparator.size() - status.size();
  size_t keep = os::CharacterPrefix(objectPath.data(), objectPath.size(), room);
  std::string line;
  line.reserve(keep + texts::kStatusSeparator.size() + status.size());
  line.append(objectPath.substr(0, keep)).append(texts::kStatusSeparator).append(status);
  return line;
}

void RecordOutcome(ScanOutcome outcome) {
  RecordOutcomeFor(PathView(TheScanState().objectPath), outcome);
}

void RecordOutcomeFor(std::string_view objectPath, ScanOutcome outcome) {
  CountOutcome(outcome);
  if (outcome == ScanOutcome::Ok && TheScanState().showAllFiles() == 0) return;
  g_sink.load()(objectPath, outcome);
}

void QueueInStatusRing(std::string_view objectPath, ScanOutcome outcome) {
  QueueStatusLine(ComposeStatusLine(objectPath, outcome));
}

void SetStatusLineSink(StatusLineSink sink) {
  g_sink.store(sink != nullptr ? sink : QueueInStatusRing);
}

}  // namespace scan
