#include "scan/report.h"

#include <cstdio>
#include <cstring>

#include "scan/scan_state.h"
#include "scan/texts.h"

namespace scan {

std::string BuildReport(const ScanState& s) {
  char counts[512];
  int length =
      std::snprintf(counts, sizeof counts, texts::kReportFormat, s.cleanCount, s.leftInfectedCount,
                    s.disinfectedCount, s.disinfectAtRebootCount, s.deletedCount,
                    s.deleteAtRebootCount, s.notDisinfectedCount, s.accessDeniedCount);
  std::string report(counts, length > 0 ? static_cast<size_t>(length) : 0);
  bool stillInfected = s.leftInfectedCount != 0 || s.notDisinfectedCount != 0;
  bool restart = s.disinfectAtRebootCount != 0 || s.deleteAtRebootCount != 0;
  if (stillInfected) report += texts::kStillInfected;
  if (!stillInfected && !restart && s.disinfectedCount == 0 && s.deletedCount == 0) {
    report += texts::kNoViruses;
  }
  if (restart) report += texts::kRestartNeeded;
  return report;
}

size_t VirusName(char* buffer, size_t size) {
  size_t needed = texts::kVirusName.size() + 1;
  if (buffer != nullptr && size >= needed) {
    std::memcpy(buffer, texts::kVirusName.data(), texts::kVirusName.size());
    buffer[texts::kVirusName.size()] = '\0';
  }
  return needed;
}

}  // namespace scan
