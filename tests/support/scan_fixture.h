// A scan state made fresh for each test, with the status lines collected
// instead of queued for a window, and every seam restored afterwards.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "scan/handle_object.h"
#include "scan/outcome.h"
#include "scan/scan_state.h"
#include "scan/walk.h"
#include "tests/support/temp_dir.h"

namespace test_support {

using StatusLines = std::vector<std::pair<std::string, scan::ScanOutcome>>;
StatusLines& ScanFixtureLines();

class ScanFixture : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  static scan::ScanState& state() { return scan::TheScanState(); }
  // The lines recorded so far, in order.
  static StatusLines& lines();
  // The one outcome recorded for `path`, or none.
  static std::vector<scan::ScanOutcome> OutcomesOf(const std::string& path);

  // Creates the folders on the way and writes the file.
  std::string Put(const std::string& relative, const std::vector<uint8_t>& bytes);
  std::string Path(const std::string& relative) const;

  TempDir dir_;
};

}  // namespace test_support
