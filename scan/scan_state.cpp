#include "scan/scan_state.h"

#include <cstring>

namespace scan {

void ScanState::ResetCounters() {
  cleanCount = leftInfectedCount = disinfectedCount = deletedCount = 0;
  disinfectAtRebootCount = deleteAtRebootCount = notDisinfectedCount = accessDeniedCount = 0;
  goneCount = 0;
  unopenedFolderCount = excludedFileCount = excludedFolderCount = 0;
  memoryOutcome.reset();
  registryOutcome.reset();
}

void ScanState::ResetStatusRing() {
  for (StatusSlot& slot : statusRing) slot.head.store(0, std::memory_order_release);
}

std::string_view PathView(const PathBuffer& buffer) {
  const void* end = std::memchr(buffer, '\0', kPathBufferSize);
  size_t length = end != nullptr ? static_cast<size_t>(static_cast<const char*>(end) - buffer)
                                 : kPathBufferSize;
  return std::string_view(buffer, length);
}

bool SetPath(PathBuffer& buffer, std::string_view path) {
  if (path.size() > kMaxPathLength) return false;
  std::memcpy(buffer, path.data(), path.size());
  buffer[path.size()] = '\0';
  return true;
}

}  // namespace scan
