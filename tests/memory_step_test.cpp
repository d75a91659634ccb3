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

std::string g_ownPath;
bool g_confirm = false;
int32_t g_answer = 103;
bool g_restartAccepted = true;
std::vector<std::string> g_events;

class MemoryStepTest : public test_support::ScanFixture {
 protected:
  void SetUp() override {
    ScanFixture::SetUp();
    state().setCloseWhenDone(0);
    state().setMemoryInfected(0);
    g_events.clear();
    g_confirm = false;
    g_answer = 103;
    g_restartAccepted = true;
    infection_ = test_support::InfectOrFail(test_support::SmallProgram(0x777));
    g_ownPath = Put("cleaner.exe", infection_.bytes);
    repair::MemoryStepServices services;
    services.ownPath = [] { return g_ownPath; };
    services.confirmRepair = [] {
      g_events.push_back("warning");
      return g_confirm;
    };
    services.prompt = [] {
      g_events.push_back("prompt " + std::string(scan::PathView(state().objectPath)));
      return g_answer;
    };
    services.finishScan = [] { g_events.push_back("finish"); };
    services.requestRestart = [] {
      g_events.push_back("restart");
      return g_restartAccepted;
    };
    services.showRestartFailure = [] { g_events.push_back("restart failed"); };
    repair::SetMemoryStepServices(services);
  }
  void TearDown() override {
    ScanFixture::TearDown();
    state().setCloseWhenDone(0);
    state().setMemoryInfected(0);
  }
  static bool BaitLeft() { return std::filesystem::exists(os::TempDirectory() + "TRAP1.EXE"); }

  specimen::Infection infection_;
};

TEST_F(MemoryStepTest, ACleanCleanerFindsMemoryAndRegistryClean) {
  test_support::WriteBytes(g_ownPath, test_support::SmallProgram());
  EXPECT_EQ(repair::MemoryStep(), 1);
  EXPECT_EQ(repair::RegistryStep(), 1);
  EXPECT_EQ(lines(), (StatusLines{{"memory", ScanOutcome::Ok}, {"registry", ScanOutcome::Ok}}));
  EXPECT_TRUE(g_events.empty());
  EXPECT_FALSE(BaitLeft());
}

TEST_F(MemoryStepTest, ABaitThatCannotBeMadeIsCannotOpen) {
  g_ownPath = Path("no-such-cleaner.exe");
  EXPECT_EQ(repair::MemoryStep(), 1);
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
    g_answer = c.answer;
    EXPECT_EQ(repair::MemoryStep(), c.result) << static_cast<int>(c.mode) << " " << c.answer;
    EXPECT_EQ(lines(), c.lines) << static_cast<int>(c.mode) << " " << c.answer;
    EXPECT_EQ(test_support::ReadBytes(g_ownPath), infection_.bytes);  // nothing cleaned
  }
  EXPECT_FALSE(BaitLeft());
}

TEST_F(MemoryStepTest, AnAcceptedRepairCleansTheCleanerAndAsksForTheRestart) {
  for (bool accepted : {true, false}) {
    SCOPED_TRACE(accepted);
    test_support::WriteBytes(g_ownPath, infection_.bytes);
    lines().clear();
    g_events.clear();
    g_confirm = true;
    g_restartAccepted = accepted;
    state().setActionMode(ActionMode::AskUser);
    EXPECT_EQ(repair::MemoryStep(), 1);

    EXPECT_EQ(test_support::ReadBytes(g_ownPath), test_support::ExpectedRepairedBytes(infection_));
    std::vector<std::string> events = {"warning", "finish", "restart"};
    if (!accepted) events.push_back("restart failed");
    EXPECT_EQ(g_events, events);
    EXPECT_EQ(state().actionMode(), ActionMode::ChangesBarred);
    EXPECT_EQ(state().closeWhenDone(), 1);
    EXPECT_EQ(state().memoryInfected(), 1);
    // The system library (clean; only where the system has a system
    // directory), the cleaner, then the memory itself.
    ASSERT_EQ(lines().size(), os::SystemDirectory().empty() ? 2u : 3u);
    size_t last = lines().size() - 1;
    EXPECT_EQ(lines()[last - 1],
              (std::pair<std::string, ScanOutcome>{g_ownPath, ScanOutcome::Disinfected}));
    EXPECT_EQ(lines()[last],
              (std::pair<std::string, ScanOutcome>{"memory", ScanOutcome::CannotDisinfect}));
    EXPECT_FALSE(BaitLeft());
  }
}

}  // namespace
