#include "inside/inner_object.h"

#include <array>
#include <new>

#include "engine/virus_body.h"
#include "scan/handle_object.h"
#include "scan/outcome.h"
#include "scan/scan_state.h"
#include "scan/walk.h"

namespace inside {
namespace {

void Tell(const Seams& seams, const std::string& shown, const std::string& what) {
  seams.scan->Tell((shown + ": " + what).c_str(), "krizclean");
}

void Record(const InnerName& name, scan::ScanOutcome outcome, const std::string& reason,
            const Seams& seams) {
  if (seams.describe) seams.describe(name, reason);
  scan::RecordOutcomeFor(*seams.scan, name.Shown(), outcome);
}

// The object in work, for the prompt and the progress display.
void Name(scan::Scan& scan, const std::string& shown) {
  scan::ScanState& state = scan.state();
  scan::SetPath(state.objectPath, scan::CutPath(shown, scan::kMaxPathLength));
  scan::SetPath(state.objectShortPath, "");
  scan.snapshot().Publish(scan::PathView(state.objectPath));
}

}  // namespace

bool HandleInner(const InnerName& name, InnerSource& bytes, const Cleaner& clean,
                 const std::string& readOnly, const Seams& seams) {
  const std::string shown = name.Shown();
  Name(*seams.scan, shown);
  CheckedSource checked(bytes);
  const bool infected = engine::IsInfected(checked);
  if (checked.failed()) {
    ReportNotScanned(name, bytes.Problem(), seams);
    return true;
  }
  if (!infected) {
    Record(name, scan::ScanOutcome::Ok, "", seams);
    return true;
  }
  switch (scan::DecideOnInfected(*seams.scan)) {
    case scan::Decision::Quit:
      return false;
    case scan::Decision::LeaveInfected:
      Record(name, scan::ScanOutcome::Infected, "", seams);
      return true;
    case scan::Decision::Barred:
      Record(name, scan::ScanOutcome::CannotDisinfect, "", seams);
      return true;
    case scan::Decision::Clean:
      break;
  }
  if (!clean || !seams.cleaningBarred.empty()) {
    const std::string& why = !clean ? readOnly : seams.cleaningBarred;
    Tell(seams, shown, "not cleaned: " + why);
    Record(name, scan::ScanOutcome::CannotDisinfect, why, seams);
    return true;
  }
  engine::RepairOutcome repaired;
  try {
    repaired = clean();
  } catch (const std::bad_alloc&) {
    // Checking a large volume can take more memory than there is: the file
    // stays as it was, and is reported so.
    repaired = {engine::RepairStatus::NotDone, "too large to clean here: out of memory"};
  }
  if (repaired.status == engine::RepairStatus::Cleaned) {
    Record(name, scan::ScanOutcome::Disinfected, "", seams);
  } else {
    Tell(seams, shown, "not cleaned: " + repaired.detail);
    Record(name, scan::ScanOutcome::CannotDisinfect, repaired.detail, seams);
  }
  return true;
}

void ReportNotScanned(const InnerName& name, const std::string& why, const Seams& seams) {
  const std::string shown = name.inner.empty() ? name.container : name.Shown();
  Tell(seams, shown, why);
  if (seams.describe) seams.describe(name, why);
  scan::RecordOutcomeFor(*seams.scan, shown, scan::ScanOutcome::CannotOpen);
}

bool IsSelected(const std::string& name, const Seams& seams) {
  if (seams.scan->state().selectedTypesOnly() == 0) return true;
  std::string_view ending = name.size() >= 4 ? std::string_view(name).substr(name.size() - 4) : "";
  return scan::IsSelectedFileType(ending, name);
}

bool IsContainerName(const std::string& name) {
  static constexpr std::array<std::string_view, 21> kEndings = {
      ".img", ".ima", ".vfd", ".flp", ".dsk", ".hdd", ".hds", ".vhd", ".vmdk",   ".raw", ".iso",
      ".zip", ".cab", ".lzh", ".lha", ".7z",  ".rar", ".tar", ".tgz", ".tar.gz", ".jar"};
  auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; };
  for (std::string_view ending : kEndings) {
    if (name.size() <= ending.size()) continue;
    bool same = true;
    for (size_t i = 0; i < ending.size() && same; ++i) {
      same = lower(name[name.size() - ending.size() + i]) == ending[i];
    }
    if (same) return true;
  }
  return false;
}

}  // namespace inside
