// A scan made fresh for each test, with the status lines collected instead
// of queued for a window; a test sets the seams it needs on scan().seams().
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "scan/handle_object.h"
#include "scan/outcome.h"
#include "scan/scan.h"
#include "scan/scan_state.h"
#include "scan/walk.h"
#include "tests/support/temp_dir.h"

namespace test_support {

using StatusLines = std::vector<std::pair<std::string, scan::ScanOutcome>>;

class ScanFixture : public ::testing::Test {
 protected:
  ScanFixture();

  scan::Scan& scan() { return scan_; }
  scan::ScanState& state() { return scan_.state(); }
  // The lines recorded so far, in order.
  StatusLines& lines() { return lines_; }
  const StatusLines& lines() const { return lines_; }
  // The outcomes recorded for `path`, in order.
  std::vector<scan::ScanOutcome> OutcomesOf(const std::string& path) const;

  // Creates the folders on the way and writes the file.
  std::string Put(const std::string& relative, const std::vector<uint8_t>& bytes);
  std::string Path(const std::string& relative) const;

  TempDir dir_;
  StatusLines lines_;
  scan::Scan scan_;
};

}  // namespace test_support
