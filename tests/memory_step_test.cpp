// The memory and registry steps, with the cleaner's own file, the questions
// and the restart replaced: an infected copy of a program cannot be started,
// so an infected specimen stands in for the cleaner's own file.
#include <gtest/gtest.h>

#include <filesystem>

#include "os/process.h"
#include "os/system.h"
#include "repair/memory_step.h"
#include "tests/support/file_bytes.h"
#include "tests/support/scan_fixture.h"
#include "tests/support/specimens.h"

namespace {

using scan::ActionMode;
using scan::ScanOutcome;
using test_support::StatusLines;

class MemoryStepTest : public test_support::ScanFixture {
 protected:
  MemoryStepTest() {
    infection_ = test_support::InfectOrFail(test_support::SmallProgram(0x777));
    ownPath_ = Put("cleaner.exe", infection_.bytes);
    services_.ownPath = [this] { return ownPath_; };
    services_.confirmRepair = [this] {
      events_.push_back("warning");
      return confirm_;
    };
    services_.prompt = [this] {
      events_.push_back("prompt " + std::string(scan::PathView(state().objectPath)));
      return answer_;
    };
    services_.finishScan = [this] { events_.push_back("finish"); };
    services_.requestRestart = [this] {
      events_.push_back("restart");
      return restartAccepted_;
    };
    services_.showRestartFailure = [this] { events_.push_back("restart failed"); };
  }
  int MemoryStep() { return repair::MemoryStep(scan(), services_); }
  int RegistryStep() { return repair::RegistryStep(scan()); }
  static bool BaitLeft() { return std::filesystem::exists(os::TempDirectory() + "TRAP1.EXE"); }

  specimen::Infection infection_;
  repair::MemoryStepServices services_;
  std::string ownPath_;
  bool confirm_ = false;
  int32_t answer_ = 103;
  bool restartAccepted_ = true;
  std::vector<std::string> events_;
};

TEST_F(MemoryStepTest, ACleanCleanerFindsMemoryAndRegistryClean) {
  test_support::WriteBytes(ownPath_, test_support::SmallProgram());
  EXPECT_EQ(MemoryStep(), 1);
  EXPECT_EQ(RegistryStep(), 1);
  EXPECT_EQ(lines(), (StatusLines{{"memory", ScanOutcome::Ok}, {"registry", ScanOutcome::Ok}}));
  // Kept apart from the counters, which count files.
  EXPECT_EQ(state().memoryOutcome, ScanOutcome::Ok);
  EXPECT_EQ(state().registryOutcome, ScanOutcome::Ok);
  EXPECT_EQ(state().cleanCount, 0);
  EXPECT_TRUE(events_.empty());
  EXPECT_FALSE(BaitLeft());
}

TEST_F(MemoryStepTest, ABaitThatCannotBeMadeIsCannotOpen) {
  ownPath_ = Path("no-such-cleaner.exe");
  EXPECT_EQ(MemoryStep(), 1);
  EXPECT_EQ(lines(), (StatusLines{{"memory", ScanOutcome::CannotOpen}}));
  EXPECT_FALSE(BaitLeft());
}

TEST_F(MemoryStepTest, ADeclinedRepairGoesByTheActionMode) {
  struct Case {
    ActionMode mode;
    int32_t answer;
    int result;
    StatusLines lines;
  };
  const Case cases[] = {
      {ActionMode::AskUser, 102, 1, {{"memory", ScanOutcome::DisinfectAtReboot}}},
      {ActionMode::AskUser, 103, 1, {{"memory", ScanOutcome::Infected}}},
      {ActionMode::AskUser, -1, 1, {{"memory", ScanOutcome::Infected}}},
      {ActionMode::AskUser, 104, 0, {}},
      {ActionMode::Clean, 0, 1, {{"memory", ScanOutcome::DisinfectAtReboot}}},
      {ActionMode::ScanOnly, 0, 1, {{"memory", ScanOutcome::Infected}}},
      {ActionMode::ChangesBarred, 0, 1, {{"memory", ScanOutcome::CannotDisinfect}}},
  };
  for (const Case& c : cases) {
    lines().clear();
    state().setActionMode(c.mode);
    answer_ = c.answer;
    EXPECT_EQ(MemoryStep(), c.result) << static_cast<int>(c.mode) << " " << c.answer;
    EXPECT_EQ(lines(), c.lines) << static_cast<int>(c.mode) << " " << c.answer;
    EXPECT_EQ(test_support::ReadBytes(ownPath_), infection_.bytes);  // nothing cleaned
  }
  EXPECT_FALSE(BaitLeft());
}

TEST_F(MemoryStepTest, AnAcceptedRepairCleansTheCleanerAndAsksForTheRestart) {
  for (bool accepted : {true, false}) {
    SCOPED_TRACE(accepted);
    test_support::WriteBytes(ownPath_, infection_.bytes);
    lines().clear();
    events_.clear();
    confirm_ = true;
    restartAccepted_ = accepted;
    state().setActionMode(ActionMode::AskUser);
    EXPECT_EQ(MemoryStep(), 1);

    EXPECT_EQ(test_support::ReadBytes(ownPath_), test_support::ExpectedRepairedBytes(infection_));
    std::vector<std::string> events = {"warning", "finish", "restart"};
    if (!accepted) events.push_back("restart failed");
    EXPECT_EQ(events_, events);
    EXPECT_EQ(state().actionMode(), ActionMode::ChangesBarred);
    EXPECT_EQ(state().closeWhenDone(), 1);
    EXPECT_EQ(state().memoryInfected(), 1);
    // The system library (clean; only where the system has a system
    // directory), the cleaner, then the memory itself.
    ASSERT_EQ(lines().size(), os::SystemDirectory().empty() ? 2u : 3u);
    size_t last = lines().size() - 1;
    EXPECT_EQ(lines()[last - 1],
              (std::pair<std::string, ScanOutcome>{ownPath_, ScanOutcome::Disinfected}));
    EXPECT_EQ(lines()[last],
              (std::pair<std::string, ScanOutcome>{"memory", ScanOutcome::CannotDisinfect}));
    EXPECT_FALSE(BaitLeft());
  }
}

}  // namespace
