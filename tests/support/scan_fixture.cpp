#include "tests/support/scan_fixture.h"

#include <filesystem>

#include "tests/support/file_bytes.h"

namespace test_support {
namespace {

void Collect(std::string_view path, scan::ScanOutcome outcome, scan::ObjectKind) {
  test_support::ScanFixtureLines().emplace_back(std::string(path), outcome);
}

}  // namespace

StatusLines& ScanFixtureLines() {
  static StatusLines lines;
  return lines;
}

StatusLines& ScanFixture::lines() { return ScanFixtureLines(); }

void ScanFixture::SetUp() {
  scan::ScanState& s = state();
  s.ResetCounters();
  s.ResetStatusRing();
  s.setShowAllFiles(1);
  s.setSelectedTypesOnly(1);
  s.setActionMode(scan::ActionMode::ScanOnly);
  s.setStopRequested(0);
  s.setBootRenameNeeded(0);
  lines().clear();
  scan::SetStatusLineSink(Collect);
}

void ScanFixture::TearDown() {
  scan::SetStatusLineSink(nullptr);
  scan::SetInfectionPrompt(nullptr);
  scan::SetObjectHook(nullptr);
  scan::SetCleaningActions({});
  scan::SetRepairOptions({});
  state().setStopRequested(0);
}

std::vector<scan::ScanOutcome> ScanFixture::OutcomesOf(const std::string& path) {
  std::vector<scan::ScanOutcome> found;
  for (const auto& [p, outcome] : lines()) {
    if (p == path) found.push_back(outcome);
  }
  return found;
}

std::string ScanFixture::Path(const std::string& relative) const {
  return (dir_.path() / std::filesystem::path(relative).make_preferred()).string();
}

std::string ScanFixture::Put(const std::string& relative, const std::vector<uint8_t>& bytes) {
  std::string path = Path(relative);
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  WriteBytes(path, bytes);
  return path;
}

}  // namespace test_support
