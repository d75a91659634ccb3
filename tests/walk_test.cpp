// The walk: what it names, what it enters, what it hands on, and how it
// stops.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "os/system.h"
#include "tests/support/file_bytes.h"
#include "tests/support/scan_fixture.h"
#include "tests/support/specimens.h"

namespace {

using scan::RootResult;
using scan::ScanOutcome;
using test_support::ScanFixture;

const std::string kSep(1, os::PathSeparator());
const std::vector<uint8_t> kText = {'n', 'o', 't', ' ', 'a', ' ', 'p',
                                    'r', 'o', 'g', 'r', 'a', 'm'};

class WalkTest : public ScanFixture {
 protected:
  std::vector<std::string> Listed() const {
    std::vector<std::string> paths;
    for (const auto& line : lines()) paths.push_back(line.first);
    std::sort(paths.begin(), paths.end());
    return paths;
  }
  std::string root_ = dir_.path().string();
};

TEST_F(WalkTest, NamesFilesUnderTheRootAndItsFolders) {
  Put("top.exe", kText);
  Put("sub/inner.exe", kText);
  EXPECT_EQ(scan::WalkRoot(root_), RootResult::Completed);
  EXPECT_EQ(Listed(), (std::vector<std::string>{root_ + kSep + "sub" + kSep + "inner.exe",
                                                root_ + kSep + "top.exe"}));
  EXPECT_EQ(state().cleanCount, 2);
  EXPECT_EQ(scan::PathView(state().rootPath), root_);
}

TEST_F(WalkTest, ARootEndingInASeparator) {
  Put("a.exe", kText);
  EXPECT_EQ(scan::WalkRoot(root_ + kSep), RootResult::Completed);
  // Windows puts a second backslash after a listed path that ends in one;
  // POSIX paths get no second "/".
  std::string expected = os::PathSeparator() == '\\' ? root_ + "\\\\a.exe" : root_ + "/a.exe";
  EXPECT_EQ(Listed(), std::vector<std::string>{expected});
}

TEST_F(WalkTest, FilterPicksProgramsAndTheTwoLibraryNames) {
  const char* picked[] = {"SETUP.EXE", "a.Exe", "KERNEL32.DLL", "krized.TT6", ".x.exe"};
  const char* passed[] = {"x.exe.bak", "Kernel32.dll.old", "exe", "notes.txt"};
  for (const char* name : picked) Put(std::string("f/") + name, kText);
  for (const char* name : passed) Put(std::string("f/") + name, kText);
  EXPECT_EQ(scan::WalkRoot(root_), RootResult::Completed);
  EXPECT_EQ(Listed().size(), std::size(picked));

  lines().clear();
  state().setSelectedTypesOnly(0);
  EXPECT_EQ(scan::WalkRoot(root_), RootResult::Completed);
  EXPECT_EQ(Listed().size(), std::size(picked) + std::size(passed));
}

TEST_F(WalkTest, FoldersWhoseNamesBeginWithADotAreNotWalked) {
  Put(".hidden/a.exe", kText);
  Put("deep/.cache/b.exe", kText);
  Put("deep/c.exe", kText);
  EXPECT_EQ(scan::WalkRoot(root_), RootResult::Completed);
  EXPECT_EQ(Listed(), std::vector<std::string>{root_ + kSep + "deep" + kSep + "c.exe"});
}

TEST_F(WalkTest, TheShortPathOfAnEightThreeNameIsTheFolder) {
  Put("d/SHORT.EXE", kText);
  static std::string seenShort;
  scan::SetObjectHook([] { seenShort = std::string(scan::PathView(state().objectShortPath)); });
  EXPECT_EQ(scan::WalkRoot(root_), RootResult::Completed);
  EXPECT_EQ(seenShort, root_ + kSep + "d" + kSep);
}

TEST_F(WalkTest, AStopRequestIsConsumedByTheDeepestLevel) {
  Put("a/b/c/trigger.exe", kText);
  for (int i = 0; i < 5; ++i) Put("x" + std::to_string(i) + ".exe", kText);
  scan::SetObjectHook([] {
    if (scan::PathView(state().objectPath).ends_with("trigger.exe")) state().setStopRequested(1);
  });
  const auto before = std::filesystem::current_path();
  EXPECT_EQ(scan::WalkRoot(root_), RootResult::Stopped);
  EXPECT_EQ(state().stopRequested(), 0);
  EXPECT_EQ(lines().back().first,
            root_ + kSep + "a" + kSep + "b" + kSep + "c" + kSep + "trigger.exe");
  EXPECT_LT(lines().size(), 6u);
  // Back at the starting directory, whatever level stopped.
  EXPECT_EQ(std::filesystem::current_path(), before);
}

TEST_F(WalkTest, AStopRequestMadeBeforeTheWalkEndsItAtTheFirstEntry) {
  for (int i = 0; i < 4; ++i) Put("y" + std::to_string(i) + ".exe", kText);
  state().setStopRequested(1);
  EXPECT_EQ(scan::WalkRoot(root_), RootResult::Stopped);
  EXPECT_LE(lines().size(), 1u);
  EXPECT_EQ(state().stopRequested(), 0);
}

TEST_F(WalkTest, AQuitAnswerEndsTheWalkAndRecordsNothing) {
  std::vector<uint8_t> infected = test_support::InfectOrFail(test_support::SmallProgram()).bytes;
  Put("q/one.exe", infected);
  Put("q/two.exe", infected);
  state().setActionMode(scan::ActionMode::AskUser);
  scan::SetInfectionPrompt([] { return int32_t{104}; });
  EXPECT_EQ(scan::WalkRoot(root_), RootResult::Stopped);
  EXPECT_TRUE(lines().empty());
  EXPECT_EQ(state().stopRequested(), 0);
  EXPECT_EQ(state().leftInfectedCount + state().cleanCount, 0);
}

TEST_F(WalkTest, EmptyAndMissingRoots) {
  std::filesystem::create_directory(Path("empty"));
  EXPECT_EQ(scan::WalkRoot(Path("empty")), RootResult::Completed);
  EXPECT_EQ(scan::WalkRoot(Path("missing")), RootResult::CannotEnter);
  EXPECT_EQ(scan::WalkRoot(std::string(300, 'r')), RootResult::CannotEnter);
  EXPECT_TRUE(lines().empty());
}

#ifndef _WIN32
TEST_F(WalkTest, PathsThatDoNotFitAreRefusedNeverCut) {
  // A root of 240 characters: a 20-character file name no longer fits 259,
  // nor does a folder of that length; short names still do.
  std::string deep = root_;
  while (deep.size() < 235) deep += "/d";
  deep = deep.substr(0, 235);
  if (deep.back() == '/') deep.pop_back();
  std::filesystem::create_directories(deep);
  std::string longName(30, 'L');
  std::string fits = "ok.exe";
  test_support::WriteBytes(deep + "/" + longName + ".exe", kText);
  test_support::WriteBytes(deep + "/" + fits, kText);
  std::filesystem::create_directories(deep + "/" + longName + "dir");
  test_support::WriteBytes(deep + "/" + longName + "dir/inside.exe", kText);

  EXPECT_EQ(scan::WalkRoot(deep), RootResult::Completed);
  EXPECT_EQ(OutcomesOf(deep + "/" + longName + ".exe"),
            std::vector<ScanOutcome>{ScanOutcome::CannotOpen});
  EXPECT_EQ(OutcomesOf(deep + "/" + fits), std::vector<ScanOutcome>{ScanOutcome::Ok});
  EXPECT_EQ(lines().size(), 2u);  // the folder that does not fit was not entered
}
#endif

#ifdef _WIN32
TEST_F(WalkTest, BelowSystemVolumeInformationNothingIsWalked) {
  // Our Wine prefix's C: drive is ours to use.
  std::string folder = "C:\\System Volume Information";
  std::filesystem::remove_all(folder);
  std::filesystem::create_directories(folder + "\\sub");
  test_support::WriteBytes(folder + "\\a.exe", kText);
  test_support::WriteBytes(folder + "\\sub\\b.exe", kText);
  EXPECT_EQ(scan::WalkRoot(folder), RootResult::Completed);
  EXPECT_EQ(Listed(), std::vector<std::string>{folder + "\\a.exe"});
  // Deeper down, or spelt in other letters, the folder is walked whole.
  lines().clear();
  std::filesystem::create_directories(Path("System Volume Information\\sub"));
  Put("System Volume Information\\sub\\c.exe", kText);
  EXPECT_EQ(scan::WalkRoot(root_), RootResult::Completed);
  EXPECT_EQ(lines().size(), 1u);
  std::filesystem::remove_all(folder);
}
#endif

}  // namespace
