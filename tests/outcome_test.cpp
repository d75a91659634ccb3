// Outcomes are counted, turned into status lines, queued through the status
// ring, and summed up in the report.
#include "scan/outcome.h"

#include <gtest/gtest.h>

#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "scan/report.h"
#include "scan/scan.h"
#include "scan/status_ring.h"

#ifndef _WIN32
#include <thread>
#endif

namespace {

using scan::ScanOutcome;
using scan::ScanState;

// A scan of its own for each test: status lines go to its status ring unless
// a test collects them (CollectLines), messages are collected.
class Outcomes : public ::testing::Test {
 protected:
  Outcomes() : scan_(Seams(messages_)) { scan::SetPath(state().objectPath, "C:\\DIR\\A.EXE"); }
  static scan::ScanSeams Seams(std::vector<std::string>& messages) {
    scan::ScanSeams seams;
    seams.message = [&messages](const char* text, const char* caption) {
      messages.push_back(std::string(caption) + "|" + text);
    };
    return seams;
  }
  void CollectLines() {
    scan_.seams().statusSink = [this](std::string_view path, ScanOutcome outcome,
                                      scan::ObjectKind) {
      lines_.push_back(scan::ComposeStatusLine(path, outcome));
    };
  }
  scan::Scan& scan() { return scan_; }
  ScanState& state() { return scan_.state(); }

  std::vector<std::string> lines_;
  std::vector<std::string> messages_;
  scan::Scan scan_;
};

TEST_F(Outcomes, EachOutcomeCountsOnceAndShowsItsStatus) {
  CollectLines();
  struct Case {
    ScanOutcome outcome;
    int32_t ScanState::*counter;
    const char* status;
  };
  const Case cases[] = {
      {ScanOutcome::CannotDelete, &ScanState::notDisinfectedCount, "cannot delete"},
      {ScanOutcome::CannotDisinfect, &ScanState::notDisinfectedCount, "cannot disinfect"},
      {ScanOutcome::CannotOpen, &ScanState::accessDeniedCount, "cannot open"},
      {ScanOutcome::Infected, &ScanState::leftInfectedCount, "infected"},
      {ScanOutcome::Disinfected, &ScanState::disinfectedCount, "disinfected"},
      {ScanOutcome::Deleted, &ScanState::deletedCount, "deleted"},
      {ScanOutcome::DisinfectAtReboot, &ScanState::disinfectAtRebootCount, "disinfect at reboot"},
      {ScanOutcome::DeleteAtReboot, &ScanState::deleteAtRebootCount, "delete at reboot"},
      {ScanOutcome::Gone, &ScanState::goneCount, "gone"},
  };
  for (const Case& c : cases) {
    state().ResetCounters();
    lines_.clear();
    scan::RecordOutcome(scan(), c.outcome);
    EXPECT_EQ(state().*c.counter, 1) << c.status;
    int32_t total = state().cleanCount + state().leftInfectedCount + state().disinfectedCount +
                    state().deletedCount + state().disinfectAtRebootCount +
                    state().deleteAtRebootCount + state().notDisinfectedCount +
                    state().accessDeniedCount + state().goneCount;
    EXPECT_EQ(total, 1) << c.status;
    EXPECT_EQ(lines_, std::vector<std::string>{std::string("C:\\DIR\\A.EXE\t\t\t") + c.status});
  }
}

TEST_F(Outcomes, CleanObjectsMakeALineOnlyWhenAllFilesAreShown) {
  CollectLines();
  scan::RecordOutcome(scan(), ScanOutcome::Ok);
  EXPECT_EQ(state().cleanCount, 1);
  EXPECT_TRUE(lines_.empty());
  state().setShowAllFiles(1);
  scan::RecordOutcome(scan(), ScanOutcome::Ok);
  EXPECT_EQ(state().cleanCount, 2);
  EXPECT_EQ(lines_, std::vector<std::string>{"C:\\DIR\\A.EXE\t\t\tok"});
}

TEST_F(Outcomes, ALongPathIsCutSoThatTheStatusStandsWhole) {
  // The longest form that fits: the start and the end around the mark.
  std::string path = "C:\\" + std::string(300, 'p') + "\\NAME.EXE";
  std::string line = scan::ComposeStatusLine(path, ScanOutcome::DisinfectAtReboot);
  EXPECT_EQ(line.size(), 259u);
  EXPECT_EQ(line, "C:\\" + std::string(75, 'p') + "..." + std::string(147, 'p') +
                      "\\NAME.EXE\t\t\tdisinfect at reboot");
  // A path of up to 237 characters always fits whole.
  EXPECT_EQ(scan::ComposeStatusLine(std::string(237, 'q'), ScanOutcome::DeleteAtReboot),
            std::string(237, 'q') + "\t\t\tdelete at reboot");
  EXPECT_EQ(scan::CutPath("abcdefghij", 9), "ab...ghij");
  EXPECT_EQ(scan::CutPath("abcdefghij", 2), "..");
}

TEST_F(Outcomes, RingDeliversLinesInOrderAndWraps) {
  std::string taken;
  EXPECT_FALSE(scan::TakeStatusLine(state(), taken));
  for (int round = 0; round < 3; ++round) {
    for (int i = 0; i < 7; ++i)
      scan::QueueStatusLine(scan(), "line " + std::to_string(round * 7 + i));
    for (int i = 0; i < 7; ++i) {
      ASSERT_TRUE(scan::TakeStatusLine(state(), taken));
      EXPECT_EQ(taken, "line " + std::to_string(round * 7 + i));
    }
    EXPECT_FALSE(scan::TakeStatusLine(state(), taken));
  }
  EXPECT_EQ(state().ringWriteIndex(), 1);  // 21 lines: two full turns and one slot
  EXPECT_EQ(state().ringReadIndex(), 1);
}

TEST_F(Outcomes, AFullRingDropsTheLineButKeepsTheCount) {
  state().setShowAllFiles(1);
  for (int i = 0; i < 10; ++i) scan::RecordOutcome(scan(), ScanOutcome::Ok);
  EXPECT_TRUE(messages_.empty());
  scan::RecordOutcome(scan(), ScanOutcome::Infected);  // waits 500 x 1 ms, then gives up
  EXPECT_EQ(state().leftInfectedCount, 1);
  EXPECT_EQ(messages_, std::vector<std::string>{"Error|System error. Please, press \"Stop scan\""});
  EXPECT_EQ(state().ringRetryCount(), 500);
  // The count was kept, so the next busy slot gives up after a single wait.
  scan::RecordOutcome(scan(), ScanOutcome::Infected);
  EXPECT_EQ(state().ringRetryCount(), 501);
  EXPECT_EQ(messages_.size(), 2u);
  // Once a slot is free, the next line goes in and the count starts over.
  std::string taken;
  ASSERT_TRUE(scan::TakeStatusLine(state(), taken));
  scan::RecordOutcome(scan(), ScanOutcome::Infected);
  EXPECT_EQ(state().ringRetryCount(), 0);
  for (int i = 0; i < 9; ++i) ASSERT_TRUE(scan::TakeStatusLine(state(), taken));
  ASSERT_TRUE(scan::TakeStatusLine(state(), taken));
  EXPECT_EQ(taken, "C:\\DIR\\A.EXE\t\t\tinfected");
}

#ifndef _WIN32
TEST_F(Outcomes, ConsumerOnAnotherThreadSeesEveryLineWhole) {
  constexpr int kLines = 300;
  std::vector<std::string> seen;
  std::thread consumer([&] {
    std::string line;
    while (static_cast<int>(seen.size()) < kLines) {
      if (scan::TakeStatusLine(state(), line)) seen.push_back(line);
    }
  });
  for (int i = 0; i < kLines; ++i) {
    scan::QueueStatusLine(scan(),
                          std::string(static_cast<size_t>(i % 200 + 1), 'x') + std::to_string(i));
  }
  consumer.join();
  for (int i = 0; i < kLines; ++i) {
    EXPECT_EQ(seen[static_cast<size_t>(i)],
              std::string(static_cast<size_t>(i % 200 + 1), 'x') + std::to_string(i));
  }
  EXPECT_TRUE(messages_.empty());
}
#endif

TEST_F(Outcomes, ReportEndsBySentenceRules) {
  const std::string zeros =
      "clean: 0\r\nleft infected by user: 0\r\ndisinfected: 0\r\ndisinfect at reboot: 0\r\n"
      "deleted: 0\r\ndelete at reboot: 0\r\ncould not disinfect: 0\r\naccess denied: 0\r\n\r\n";
  EXPECT_EQ(scan::BuildReport(state()), zeros + "No viruses found");

  struct Case {
    int32_t ScanState::*counter;
    int32_t ScanState::*second;
    const char* ending;
  };
  const Case cases[] = {
      {&ScanState::cleanCount, &ScanState::accessDeniedCount, "No viruses found"},
      {&ScanState::leftInfectedCount, &ScanState::disinfectAtRebootCount,
       "There are still infected objects in the scanned paths\r\n"
       "You need to restart your computer to complete the disinfection"},
      {&ScanState::deletedCount, &ScanState::deletedCount, "access denied: 0\r\n\r\n"},
      {&ScanState::notDisinfectedCount, &ScanState::notDisinfectedCount,
       "There are still infected objects in the scanned paths\r\n"},
      {&ScanState::deleteAtRebootCount, &ScanState::disinfectedCount,
       "to complete the disinfection"},
      // A file gone before it was cleaned leaves nothing infected behind: the
      // counts say it, and no sentence says that infected objects are left.
      {&ScanState::goneCount, &ScanState::cleanCount,
       "access denied: 0\r\ngone before it was cleaned: 1\r\n\r\n"},
  };
  for (const Case& c : cases) {
    state().ResetCounters();
    state().*c.counter = 1;
    state().*c.second = 1;
    std::string report = scan::BuildReport(state());
    EXPECT_TRUE(report.ends_with(c.ending)) << report;
    EXPECT_LE(report.size(), 350u);
  }
  state().ResetCounters();
  state().cleanCount = 12;
  state().accessDeniedCount = 3;
  EXPECT_EQ(scan::BuildReport(state()).substr(0, 10), "clean: 12\r");
  EXPECT_NE(scan::BuildReport(state()).find("access denied: 3\r\n\r\nNo viruses found"),
            std::string::npos);
}

// The counters count files; the checks of the running system are listed
// apart, and their findings still lead to the closing sentences. A stopped
// scan says that what it did not reach was not scanned.
TEST_F(Outcomes, ReportListsTheSystemApartAndTellsOfAStop) {
  const std::string counts =
      "clean: 1800\r\nleft infected by user: 0\r\ndisinfected: 0\r\ndisinfect at reboot: 0\r\n"
      "deleted: 0\r\ndelete at reboot: 0\r\ncould not disinfect: 0\r\naccess denied: 0\r\n\r\n";
  const std::string stopped = "Scan stopped; what was not reached was not scanned\r\n";
  struct Case {
    std::optional<ScanOutcome> memory, registry;
    scan::ScanEnd end;
    std::string rest;  // what follows the counts
  };
  const Case cases[] = {
      {ScanOutcome::Ok, ScanOutcome::Ok, scan::ScanEnd::Complete,
       "memory: ok\r\nregistry: ok\r\n\r\nNo viruses found"},
      {ScanOutcome::CannotOpen, ScanOutcome::Ok, scan::ScanEnd::Complete,
       "memory: cannot open\r\nregistry: ok\r\n\r\nNo viruses found"},
      {ScanOutcome::Infected, ScanOutcome::Ok, scan::ScanEnd::Complete,
       "memory: infected\r\nregistry: ok\r\n\r\n"
       "There are still infected objects in the scanned paths\r\n"},
      {ScanOutcome::DisinfectAtReboot, ScanOutcome::Ok, scan::ScanEnd::Stopped,
       "memory: disinfect at reboot\r\nregistry: ok\r\n\r\n" + stopped +
           "You need to restart your computer to complete the disinfection"},
      {ScanOutcome::Ok, ScanOutcome::Ok, scan::ScanEnd::Stopped,
       "memory: ok\r\nregistry: ok\r\n\r\n" + stopped + "No viruses found"},
      // No check of the system (the command-line cleaner): the report as ever.
      {std::nullopt, std::nullopt, scan::ScanEnd::Complete, "No viruses found"},
      {std::nullopt, std::nullopt, scan::ScanEnd::Stopped, stopped + "No viruses found"},
  };
  for (const Case& c : cases) {
    state().ResetCounters();
    state().cleanCount = 1800;
    state().memoryOutcome = c.memory;
    state().registryOutcome = c.registry;
    EXPECT_EQ(scan::BuildReport(state(), c.end), counts + c.rest);
  }
  state().ResetCounters();
  EXPECT_FALSE(state().memoryOutcome || state().registryOutcome);
}

// Recorded for the system, an outcome is listed as a file's is, and counted
// in no counter.
TEST_F(Outcomes, TheSystemsOutcomesAreListedButNotCounted) {
  CollectLines();
  scan::SetPath(state().objectPath, "memory");
  scan::RecordSystemOutcome(scan(), scan::SystemObject::Memory, ScanOutcome::Ok);
  scan::SetPath(state().objectPath, "registry");
  scan::RecordSystemOutcome(scan(), scan::SystemObject::Registry, ScanOutcome::Infected);
  EXPECT_EQ(lines_, std::vector<std::string>{"registry\t\t\tinfected"});  // ok goes unlisted
  EXPECT_EQ(state().memoryOutcome, ScanOutcome::Ok);
  EXPECT_EQ(state().registryOutcome, ScanOutcome::Infected);
  EXPECT_EQ(state().cleanCount + state().leftInfectedCount, 0);
}

TEST_F(Outcomes, VirusNameCopiesSixteenCharacters) {
  char buffer[32];
  std::memset(buffer, 'x', sizeof buffer);
  EXPECT_EQ(scan::VirusName(buffer, sizeof buffer), 16u);
  EXPECT_STREQ(buffer, "Win32.Kriz.4050");
  char small[8] = "keep";
  EXPECT_EQ(scan::VirusName(small, sizeof small), 16u);
  EXPECT_STREQ(small, "keep");
}

}  // namespace
