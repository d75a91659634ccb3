#include "scan/status_ring.h"

#include <algorithm>
#include <cstring>

#include "os/system.h"
#include "scan/scan_state.h"
#include "scan/texts.h"
#include "scan/user_message.h"

namespace scan {
namespace {

int32_t NextSlot(int32_t index) { return index + 1 == kRingSlots ? 0 : index + 1; }

}  // namespace

void QueueStatusLine(std::string_view line) {
  if (line.empty() || line.size() > kMaxPathLength || line[0] == '\0') return;
  ScanState& state = TheScanState();
  StatusSlot& slot = state.statusRing[state.ringWriteIndex()];
  while (slot.head.load(std::memory_order_acquire) != 0) {
    os::SleepMilliseconds(1);
    state.setRingRetryCount(state.ringRetryCount() + 1);
    if (state.ringRetryCount() >= kRingRetryLimit) {
      // The count stays: until a wait succeeds, the next busy slot gives up
      // after one wait.
      ShowUserMessage(texts::kRingStalledText, texts::kRingStalledCaption);
      return;
    }
  }
  state.setRingRetryCount(0);
  std::memcpy(slot.tail, line.data() + 1, line.size() - 1);
  slot.tail[line.size() - 1] = '\0';
  slot.head.store(line[0], std::memory_order_release);
  state.setRingWriteIndex(NextSlot(state.ringWriteIndex()));
}

bool TakeStatusLine(std::string& line) {
  ScanState& state = TheScanState();
  StatusSlot& slot = state.statusRing[state.ringReadIndex()];
  char head = slot.head.load(std::memory_order_acquire);
  if (head == 0) return false;
  line.assign(1, head);
  line.append(slot.tail, std::find(slot.tail, slot.tail + sizeof slot.tail, '\0'));
  slot.head.store(0, std::memory_order_release);
  state.setRingReadIndex(NextSlot(state.ringReadIndex()));
  return true;
}

}  // namespace scan
