#include "tests/support/scan_fixture.h"

#include <filesystem>

#include "repair/restart.h"
#include "tests/support/file_bytes.h"

namespace test_support {
namespace {

scan::ScanSeams Collecting(StatusLines& lines) {
  scan::ScanSeams seams;
  seams.replaceAtRestart = repair::ReplaceAtRestart;
  seams.statusSink = [&lines](std::string_view path, scan::ScanOutcome outcome, scan::ObjectKind) {
    lines.emplace_back(std::string(path), outcome);
  };
  return seams;
}

}  // namespace

ScanFixture::ScanFixture() : scan_(Collecting(lines_)) {
  scan::ScanState& s = state();
  s.setShowAllFiles(1);
  s.setSelectedTypesOnly(1);
  s.setActionMode(scan::ActionMode::ScanOnly);
}

std::vector<scan::ScanOutcome> ScanFixture::OutcomesOf(const std::string& path) const {
  std::vector<scan::ScanOutcome> found;
  for (const auto& [p, outcome] : lines_) {
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
