// The scan record's path buffers never take a path that does not fit.
#include "scan/scan_state.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(ScanState, PathBuffersRefuseRatherThanCut) {
  scan::PathBuffer buffer = {};
  std::string fits(259, 'a');
  EXPECT_TRUE(scan::SetPath(buffer, fits));
  EXPECT_EQ(scan::PathView(buffer), fits);
  EXPECT_FALSE(scan::SetPath(buffer, std::string(260, 'b')));
  EXPECT_EQ(scan::PathView(buffer), fits);  // unchanged by the refusal
  EXPECT_TRUE(scan::SetPath(buffer, "C:\\x"));
  EXPECT_EQ(scan::PathView(buffer), "C:\\x");
}

TEST(ScanState, StartsAtZero) {
  scan::ScanState fresh;
  EXPECT_EQ(fresh.scanRunning(), 0);
  EXPECT_EQ(fresh.driveLetter(), 0);
  EXPECT_EQ(static_cast<int32_t>(fresh.actionMode()), 0);
  EXPECT_EQ(fresh.cleanCount, 0);
  EXPECT_EQ(fresh.statusRing[9].head.load(), 0);
}

}  // namespace
