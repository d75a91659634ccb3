#include "scan/report.h"

#include <cstdio>
#include <cstring>

#include "scan/outcome.h"
#include "scan/scan_state.h"
#include "scan/texts.h"

namespace scan {

namespace {

bool IsInfectedState(ScanOutcome outcome) {
  return outcome == ScanOutcome::Infected || outcome == ScanOutcome::CannotDisinfect ||
         outcome == ScanOutcome::CannotDelete;
}

bool NeedsRestart(ScanOutcome outcome) {
  return outcome == ScanOutcome::DisinfectAtReboot || outcome == ScanOutcome::DeleteAtReboot;
}

bool WasInfected(ScanOutcome outcome) {
  return outcome != ScanOutcome::Ok && outcome != ScanOutcome::CannotOpen;
}

}  // namespace

std::string BuildReport(const ScanState& s, ScanEnd end) {
  char counts[512];
  int length =
      std::snprintf(counts, sizeof counts, texts::kReportFormat, s.cleanCount, s.leftInfectedCount,
                    s.disinfectedCount, s.disinfectAtRebootCount, s.deletedCount,
                    s.deleteAtRebootCount, s.notDisinfectedCount, s.accessDeniedCount);
  std::string report(counts, length > 0 ? static_cast<size_t>(length) : 0);
  if (s.goneCount != 0 && report.size() >= texts::kLineEnd.size()) {
    // Among the counts, before the blank line that ends them.
    char gone[64];
    int goneLength = std::snprintf(gone, sizeof gone, texts::kGoneFormat, s.goneCount);
    report.insert(report.size() - texts::kLineEnd.size(), gone,
                  goneLength > 0 ? static_cast<size_t>(goneLength) : 0);
  }
  // What is left on the disk says how the report ends: a file that is gone
  // is infected no more.
  bool stillInfected = s.leftInfectedCount != 0 || s.notDisinfectedCount != 0;
  bool restart = s.disinfectAtRebootCount != 0 || s.deleteAtRebootCount != 0;
  bool found = stillInfected || restart || s.disinfectedCount != 0 || s.deletedCount != 0 ||
               s.goneCount != 0;

  bool systemChecked = false;
  for (const auto& [name, outcome] : {std::pair{texts::kMemoryObject, s.memoryOutcome},
                                      std::pair{texts::kRegistryObject, s.registryOutcome}}) {
    if (!outcome) continue;
    systemChecked = true;
    report.append(name).append(": ").append(StatusText(*outcome)).append(texts::kLineEnd);
    stillInfected = stillInfected || IsInfectedState(*outcome);
    restart = restart || NeedsRestart(*outcome);
    found = found || WasInfected(*outcome);
  }
  if (systemChecked) report += texts::kLineEnd;

  if (end == ScanEnd::Stopped) {
    report.append(texts::kStopped).append(texts::kNotReached).append(texts::kLineEnd);
  }
  if (stillInfected) report += texts::kStillInfected;
  if (!found) report += texts::kNoViruses;
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
