// The walks: what they name, what they enter, what they report, what they
// hand on, and how they stop. Both ways to walk (the Windows program's by
// path, the command-line cleaner's by folder handles) share the first group.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "engine/journal.h"
#include "engine/repair_transaction.h"
#include "os/file_ops.h"
#include "os/glob.h"
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

struct Walker {
  const char* name;
  RootResult (*walk)(scan::Scan& scan, const std::string& root);
};

const Walker kByPath{
    "ByPath", [](scan::Scan& scan, const std::string& root) { return scan::WalkRoot(scan, root); }};
const Walker kByHandle{"ByHandle", [](scan::Scan& scan, const std::string& root) {
                         return scan::WalkTree(scan, root, root);
                       }};

void PrintTo(const Walker& walker, std::ostream* out) { *out << walker.name; }

class BothWalks : public WalkTest, public ::testing::WithParamInterface<Walker> {
 protected:
  RootResult Walk(const std::string& root) { return GetParam().walk(scan(), root); }
};

INSTANTIATE_TEST_SUITE_P(Walks, BothWalks, ::testing::Values(kByPath, kByHandle),
                         [](const auto& walker) { return std::string(walker.param.name); });

TEST_P(BothWalks, NamesFilesInEveryFolderButDotAndDotDot) {
  // Folders whose names begin with a dot are walked like any other: on
  // Linux ~/.wine/drive_c is where old Windows programs live.
  Put("top.exe", kText);
  Put("sub/inner.exe", kText);
  Put(".wine/drive_c/game.exe", kText);
  Put("deep/.cache/b.exe", kText);
  EXPECT_EQ(Walk(root_), RootResult::Completed);
  const std::string r = root_ + kSep;
  EXPECT_EQ(Listed(), (std::vector<std::string>{r + ".wine" + kSep + "drive_c" + kSep + "game.exe",
                                                r + "deep" + kSep + ".cache" + kSep + "b.exe",
                                                r + "sub" + kSep + "inner.exe", r + "top.exe"}));
  EXPECT_EQ(state().cleanCount, 4);
  EXPECT_EQ(state().unopenedFolderCount, 0);
}

TEST_P(BothWalks, FilterPicksProgramsAndTheTwoLibraryNames) {
  const char* picked[] = {"SETUP.EXE", "a.Exe", "KERNEL32.DLL", "krized.TT6", ".x.exe"};
  const char* passed[] = {"x.exe.bak", "Kernel32.dll.old", "exe", "notes.txt"};
  for (const char* name : picked) Put(std::string("f/") + name, kText);
  for (const char* name : passed) Put(std::string("f/") + name, kText);
  EXPECT_EQ(Walk(root_), RootResult::Completed);
  EXPECT_EQ(Listed().size(), std::size(picked));

  lines().clear();
  state().setSelectedTypesOnly(0);
  EXPECT_EQ(Walk(root_), RootResult::Completed);
  EXPECT_EQ(Listed().size(), std::size(picked) + std::size(passed));
}

TEST_P(BothWalks, AStopRequestIsConsumedByTheDeepestLevel) {
  Put("a/b/c/trigger.exe", kText);
  for (int i = 0; i < 5; ++i) Put("x" + std::to_string(i) + ".exe", kText);
  scan().seams().objectHook = [this](std::string_view path) {
    if (path.ends_with("trigger.exe")) state().setStopRequested(1);
  };
  const auto before = std::filesystem::current_path();
  EXPECT_EQ(Walk(root_), RootResult::Stopped);
  EXPECT_EQ(state().stopRequested(), 0);
  EXPECT_EQ(lines().back().first,
            root_ + kSep + "a" + kSep + "b" + kSep + "c" + kSep + "trigger.exe");
  EXPECT_LT(lines().size(), 6u);
  // Back at the starting directory, whatever level stopped.
  EXPECT_EQ(std::filesystem::current_path(), before);
}

TEST_P(BothWalks, AStopRequestMadeBeforeTheWalkEndsItAtTheFirstEntry) {
  for (int i = 0; i < 4; ++i) Put("y" + std::to_string(i) + ".exe", kText);
  state().setStopRequested(1);
  EXPECT_EQ(Walk(root_), RootResult::Stopped);
  EXPECT_LE(lines().size(), 1u);
  EXPECT_EQ(state().stopRequested(), 0);
}

TEST_P(BothWalks, AQuitAnswerEndsTheWalkAndRecordsNothing) {
  std::vector<uint8_t> infected = test_support::InfectOrFail(test_support::SmallProgram()).bytes;
  Put("q/one.exe", infected);
  Put("q/two.exe", infected);
  state().setActionMode(scan::ActionMode::AskUser);
  scan().seams().prompt = [](std::string_view) { return int32_t{104}; };
  EXPECT_EQ(Walk(root_), RootResult::Stopped);
  EXPECT_TRUE(lines().empty());
  EXPECT_EQ(state().stopRequested(), 0);
  EXPECT_EQ(state().leftInfectedCount + state().cleanCount, 0);
}

// A folder holding what killed runs left behind: the journal of a file
// half repaired in place, and that of an unfinished copy of an in-use file.
// Whatever order the folder lists them in, each file is put back before it
// is looked at, the copy goes, and no journal is taken for an object.
TEST_P(BothWalks, JournalsOfKilledRunsAreCarriedOutBeforeTheFilesAreHandled) {
  specimen::Infection infection = test_support::InfectOrFail(test_support::SmallProgram());
  std::string killed = Put("killed.exe", infection.bytes);
  for (uint64_t at = 1;; ++at) {
    os::WriteFaults faults(os::WriteFaults::Mode::Stop, at);
    engine::RepairSettings settings;
    settings.faults = &faults;
    std::optional<os::FileAttributes> cleared;
    engine::RepairInPlace(killed, settings, &cleared);
    // Stopped with the repair written but not committed.
    if (test_support::ReadBytes(killed) != infection.bytes) break;
    engine::RecoverFromJournal(engine::JournalPathFor(killed), nullptr);
    ASSERT_LT(at, 100u);
  }
  ASSERT_TRUE(std::filesystem::exists(engine::JournalPathFor(killed)));
  std::string inUse = Put("inuse.exe", infection.bytes);
  std::string copy = Put("inuse.exf", test_support::ExpectedRepairedBytes(infection));
  engine::Journal copyJournal;
  copyJournal.kind = engine::Journal::Kind::Copy;
  copyJournal.file = "inuse.exe";
  copyJournal.copy = "inuse.exf";
  auto identityOf = [](const std::string& path) {
    return os::File::Open(path, os::Access::Read, os::Share::ReadWrite,
                          os::Disposition::OpenExisting)
        .Identity()
        .value_or(os::FileIdentity{});
  };
  copyJournal.fileIdentity = identityOf(inUse);
  copyJournal.copyIdentity = identityOf(copy);
  std::string copyName;
  const os::Folder folder = os::Folder::OpenParent(copy, false, copyName);
  os::File held;
  ASSERT_TRUE(engine::WriteJournal(folder, copyName + ".kzj", copyJournal, nullptr, held));
  held.Close();

  state().setSelectedTypesOnly(0);  // every file, journals too, is listed
  // A scan that only reads leaves both journals and their files, each file
  // counted as not scanned and not handled.
  const std::vector<uint8_t> halfway = test_support::ReadBytes(killed);
  state().setActionMode(scan::ActionMode::ScanOnly);
  EXPECT_EQ(Walk(root_), RootResult::Completed);
  EXPECT_EQ(test_support::ReadBytes(killed), halfway);
  EXPECT_TRUE(std::filesystem::exists(copy));
  for (const std::string& journal :
       {engine::JournalPathFor(killed), engine::JournalPathFor(copy)}) {
    EXPECT_TRUE(std::filesystem::exists(journal)) << journal;
  }
  EXPECT_EQ(OutcomesOf(killed), std::vector<ScanOutcome>{ScanOutcome::CannotOpen});
  EXPECT_EQ(OutcomesOf(copy), std::vector<ScanOutcome>{ScanOutcome::CannotOpen});
  EXPECT_EQ(OutcomesOf(inUse), std::vector<ScanOutcome>{ScanOutcome::Infected});
  lines().clear();

  // Asking (which may change files) carries them out first; the answers
  // here are Skip.
  state().setActionMode(scan::ActionMode::AskUser);
  scan().seams().prompt = [](std::string_view) { return int32_t{103}; };
  EXPECT_EQ(Walk(root_), RootResult::Completed);
  EXPECT_EQ(test_support::ReadBytes(killed), infection.bytes);
  EXPECT_FALSE(std::filesystem::exists(copy));
  for (const std::string& journal :
       {engine::JournalPathFor(killed), engine::JournalPathFor(copy)}) {
    EXPECT_FALSE(std::filesystem::exists(journal)) << journal;
  }
  EXPECT_EQ(OutcomesOf(killed), std::vector<ScanOutcome>{ScanOutcome::Infected});
  EXPECT_EQ(OutcomesOf(inUse), std::vector<ScanOutcome>{ScanOutcome::Infected});
  EXPECT_EQ(Listed(), (std::vector<std::string>{inUse, killed}));
}

// What the walks leave out as asked: a pattern is matched against the name
// and against the whole path as the status lines show it.
TEST_P(BothWalks, ExcludedFilesAndFoldersAreLeftOutAndCountedApart) {
  for (const char* name : {"keep.exe", "drop.exe", "sub/drop.exe", "sub/keep.exe", "notes.txt",
                           "cache/a.exe", "deep/cache/b.exe", "other/inner/c.exe"}) {
    Put(name, kText);
  }
  const std::string r = root_ + kSep;
  struct Case {
    const char* name;
    scan::WalkOptions walk;
    bool allFiles;                    // notes.txt is excluded wherever it is looked at
    std::vector<std::string> listed;  // relative
    int32_t files, folders;           // excluded
  };
  const std::vector<std::string> all = {"cache/a.exe", "deep/cache/b.exe",  "drop.exe",
                                        "keep.exe",    "other/inner/c.exe", "sub/drop.exe",
                                        "sub/keep.exe"};
  const Case cases[] = {
      {"nothing excluded", {}, false, all, 0, 0},
      {"a file's name, in every folder",
       {{"drop.exe"}, {}, false},
       false,
       {"cache/a.exe", "deep/cache/b.exe", "keep.exe", "other/inner/c.exe", "sub/keep.exe"},
       2,
       0},
      {"a file's whole path",
       {{r + "drop.exe"}, {}, false},
       false,
       {"cache/a.exe", "deep/cache/b.exe", "keep.exe", "other/inner/c.exe", "sub/drop.exe",
        "sub/keep.exe"},
       1,
       0},
      {"'*' matches across folders",
       {{"*" + kSep + "sub" + kSep + "*"}, {}, false},
       false,
       {"cache/a.exe", "deep/cache/b.exe", "drop.exe", "keep.exe", "other/inner/c.exe"},
       2,
       0},
      {"a folder's name, wherever it lies",
       {{}, {"cache"}, false},
       false,
       {"drop.exe", "keep.exe", "other/inner/c.exe", "sub/drop.exe", "sub/keep.exe"},
       0,
       2},
      {"a folder's whole path",
       {{}, {"*" + kSep + "other" + kSep + "in*"}, false},
       false,
       {"cache/a.exe", "deep/cache/b.exe", "drop.exe", "keep.exe", "sub/drop.exe", "sub/keep.exe"},
       0,
       1},
      {"a file the filter passes over is not counted", {{"*.txt"}, {}, false}, false, all, 0, 0},
      {"with every file looked at, it is", {{"*.txt"}, {}, false}, true, all, 1, 0},
      {"several patterns",
       {{"nothing", "*p.exe"}, {"nothing", "[cd]*"}, false},
       false,
       {"other/inner/c.exe"},
       4,
       2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    lines().clear();
    state().ResetCounters();
    scan().seams().walk = c.walk;
    state().setSelectedTypesOnly(c.allFiles ? 0 : 1);
    EXPECT_EQ(Walk(root_), RootResult::Completed);
    std::vector<std::string> expected;
    for (const std::string& name : c.listed) expected.push_back(Path(name));
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(Listed(), expected);
    EXPECT_EQ(state().excludedFileCount, c.files);
    EXPECT_EQ(state().excludedFolderCount, c.folders);
    // Left out is not "cannot open".
    EXPECT_EQ(state().accessDeniedCount, 0);
    EXPECT_EQ(state().unopenedFolderCount, 0);
  }
}

// A scan that keeps backups never enters its backup folder, by whatever name
// it is given or reached, nor walks it as a root: with every file looked at
// and Clean, its backups would be cleaned by the scan that made them.
TEST_P(BothWalks, TheBackupFolderIsNeverWalkedAndItsBackupsNeverCleaned) {
  const specimen::Infection infection = test_support::InfectOrFail(test_support::SmallProgram());
  const std::string folder = Path("Backups kept");
  const std::string kept = Put("Backups kept/old.exe.0123456789ab.kzb", infection.bytes);
  const std::string below = Put("Backups kept/sub/inner.exe", infection.bytes);
  std::vector<std::string> names = {folder, folder + kSep};
#ifdef _WIN32
  // Windows compares names whatever their letters' case, and a folder has
  // its short name too.
  std::string upper = folder;
  for (char& c : upper) c = c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : c;
  names.push_back(upper);
  names.push_back(os::ShortPath(folder));
  ASSERT_NE(names.back(), folder);
#else
  // Known by device and inode, not by name: a link leads to it too.
  std::filesystem::create_directory_symlink(folder, Path("link"));
  names.push_back(Path("link"));
#endif
  state().setSelectedTypesOnly(0);
  state().setActionMode(scan::ActionMode::Clean);
  for (const std::string& name : names) {
    SCOPED_TRACE(name);
    const std::string program = Put("game.exe", infection.bytes);
    lines().clear();
    state().ResetCounters();
    scan().seams().repair.backupFolder = name;
    EXPECT_EQ(Walk(root_), RootResult::Completed);
    EXPECT_EQ(OutcomesOf(program), std::vector<ScanOutcome>{ScanOutcome::Disinfected});
    EXPECT_EQ(lines().size(), 1u);
    EXPECT_EQ(test_support::ReadBytes(kept), infection.bytes);
    EXPECT_EQ(test_support::ReadBytes(below), infection.bytes);
    EXPECT_EQ(state().excludedFolderCount, 1);
    EXPECT_EQ(state().disinfectedCount, 1);

    // Named as the root itself, it is left out whole.
    lines().clear();
    EXPECT_EQ(Walk(name), RootResult::Completed);
    EXPECT_TRUE(lines().empty());
    EXPECT_EQ(state().excludedFolderCount, 2);
    EXPECT_EQ(test_support::ReadBytes(kept), infection.bytes);
    EXPECT_TRUE(scan::IsOwnBackup(scan(), name, "old.exe.0123456789ab.kzb"));
    EXPECT_FALSE(scan::IsOwnBackup(scan(), name, "manifest.txt"));
    EXPECT_FALSE(scan::IsOwnBackup(scan(), root_, "old.exe.0123456789ab.kzb"));
    // Afresh for the next name: the backup of game.exe made here goes.
    std::filesystem::remove_all(folder);
    Put("Backups kept/old.exe.0123456789ab.kzb", infection.bytes);
    Put("Backups kept/sub/inner.exe", infection.bytes);
  }
}

// Shell patterns as fnmatch(3) reads them, natively (where they are
// fnmatch's) and under Wine (where they are ours).
TEST(Glob, MatchesAsTheShellDoes) {
  struct Case {
    const char* pattern;
    const char* text;
    bool matches;
  };
  const Case cases[] = {
      {"*.exe", "a.exe", true},
      {"*.exe", "a.exe.bak", false},
      {"*", "", true},
      {"?", "", false},
      {"a?c", "abc", true},
      {"a?c", "ac", false},
      {"*/b", "x/y/b", true},
      {"[Tt]emp", "temp", true},
      {"[Tt]emp", "Temp", true},
      {"[!T]emp", "Temp", false},
      {"[^T]emp", "xemp", true},
      {"[a-c]x", "bx", true},
      {"[a-c]x", "dx", false},
      {"[]]", "]", true},
      {"[!]]", "a", true},
      {"[a-]", "-", true},
      {"[", "[", true},
      {"a[b", "a[b", true},
      {"*a*b*c", "xaybzc", true},
      {"*a*b*c", "xaybz", false},
      {"**x", "abx", true},
      {"a*", "a", true},
      {"*.EXE", "a.exe", false},
      {"cache", "cache2", false},
      {"*cache*", "my-cache-2", true},
      {"", "", true},
      {"", "a", false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(os::GlobMatches(c.pattern, c.text), c.matches) << c.pattern << " " << c.text;
  }
}

TEST_F(WalkTest, ARootEndingInASeparator) {
  Put("a.exe", kText);
  EXPECT_EQ(scan::WalkRoot(scan(), root_ + kSep), RootResult::Completed);
  // Windows puts a second backslash after a listed path that ends in one;
  // POSIX paths get no second "/".
  std::string expected = os::PathSeparator() == '\\' ? root_ + "\\\\a.exe" : root_ + "/a.exe";
  EXPECT_EQ(Listed(), std::vector<std::string>{expected});
  EXPECT_EQ(scan::PathView(state().rootPath), root_ + kSep);
}

TEST_F(WalkTest, TheShortPathOfAnEightThreeNameIsTheFolder) {
  Put("d/SHORT.EXE", kText);
  EXPECT_EQ(scan::WalkRoot(scan(), root_), RootResult::Completed);
  // The buffers keep the last file's names after the walk.
  EXPECT_EQ(scan::PathView(state().objectPath), root_ + kSep + "d" + kSep + "SHORT.EXE");
  EXPECT_EQ(scan::PathView(state().objectShortPath), root_ + kSep + "d" + kSep);
}

TEST_F(WalkTest, MissingRootsArePassedOverByPathAndReportedByHandle) {
  std::filesystem::create_directory(Path("empty"));
  EXPECT_EQ(scan::WalkRoot(scan(), Path("empty")), RootResult::Completed);
  EXPECT_EQ(scan::WalkTree(scan(), Path("empty"), Path("empty")), RootResult::Completed);
  EXPECT_TRUE(lines().empty());
  // The controller passes over a root it cannot enter (a drive without a
  // medium); the command-line cleaner says so.
  EXPECT_EQ(scan::WalkRoot(scan(), Path("missing")), RootResult::CannotEnter);
  EXPECT_EQ(scan::WalkRoot(scan(), std::string(300, 'r')), RootResult::CannotEnter);
  EXPECT_TRUE(lines().empty());
  EXPECT_EQ(scan::WalkTree(scan(), Path("missing"), "shown"), RootResult::CannotEnter);
  EXPECT_EQ(OutcomesOf("shown"), std::vector<ScanOutcome>{ScanOutcome::CannotOpen});
  EXPECT_EQ(state().unopenedFolderCount, 1);
  EXPECT_EQ(state().accessDeniedCount, 1);
}

#ifndef _WIN32
TEST_F(WalkTest, InTheBuffersWhatDoesNotFitIsReportedNeverCutOrPassedOver) {
  // A root of 235 characters: a 30-character file name no longer fits 259,
  // nor does a folder of that length; short names still do. POSIX has no
  // 8.3 names to fall back on.
  std::string deep = root_;
  while (deep.size() < 235) deep += "/d";
  deep = deep.substr(0, 235);
  if (deep.back() == '/') deep.pop_back();
  std::filesystem::create_directories(deep);
  std::string longName(30, 'L');
  test_support::WriteBytes(deep + "/" + longName + ".exe", kText);
  test_support::WriteBytes(deep + "/ok.exe", kText);
  std::filesystem::create_directories(deep + "/" + longName + "dir");
  test_support::WriteBytes(deep + "/" + longName + "dir/inside.exe", kText);

  EXPECT_EQ(scan::WalkRoot(scan(), deep), RootResult::Completed);
  EXPECT_EQ(OutcomesOf(deep + "/" + longName + ".exe"),
            std::vector<ScanOutcome>{ScanOutcome::CannotOpen});
  EXPECT_EQ(OutcomesOf(deep + "/ok.exe"), std::vector<ScanOutcome>{ScanOutcome::Ok});
  EXPECT_EQ(OutcomesOf(deep + "/" + longName + "dir"),
            std::vector<ScanOutcome>{ScanOutcome::CannotOpen});
  EXPECT_EQ(lines().size(), 3u);
  EXPECT_EQ(state().unopenedFolderCount, 1);
  EXPECT_EQ(state().accessDeniedCount, 2);

  // The walk by handles has no such limit.
  lines().clear();
  EXPECT_EQ(scan::WalkTree(scan(), deep, deep), RootResult::Completed);
  EXPECT_EQ(OutcomesOf(deep + "/" + longName + "dir/inside.exe"),
            std::vector<ScanOutcome>{ScanOutcome::Ok});
  EXPECT_EQ(lines().size(), 3u);
}
#endif

#ifdef _WIN32
// Under Wine every long name has a short (8.3) one, as on Windows.
TEST_F(WalkTest, LongPathsThatDoNotFitAreWalkedByShortNamesOrReportedCut) {
  // A root of about 230 characters, made through the prefix that lifts
  // MAX_PATH for the wide calls that std::filesystem makes.
  std::string deep = root_;
  while (deep.size() < 225) deep += "\\dd";
  const std::string longFolder = deep + "\\" + std::string(40, 'F') + " folder";
  const std::string longFile = deep + "\\" + std::string(40, 'G') + " program.exe";
  const std::string noShortFit = deep + "\\" + std::string(25, 'H');
  std::filesystem::create_directories("\\\\?\\" + longFolder);
  std::filesystem::create_directories("\\\\?\\" + noShortFit + "\\" + std::string(40, 'I'));
  test_support::WriteBytes("\\\\?\\" + longFolder + "\\in.exe", kText);
  test_support::WriteBytes("\\\\?\\" + longFile, kText);
  ASSERT_GT(longFile.size(), 259u);

  EXPECT_EQ(scan::WalkRoot(scan(), deep), RootResult::Completed);
  // The file is handled by its short path, and shown by its long one.
  EXPECT_EQ(OutcomesOf(longFile), std::vector<ScanOutcome>{ScanOutcome::Ok});
  // The folder is entered by its short name, and so is named below.
  bool inside = false;
  for (const auto& [path, outcome] : lines()) {
    if (path.ends_with("\\in.exe")) {
      inside = outcome == ScanOutcome::Ok && path.size() <= 259 && path.starts_with(deep + "\\");
    }
  }
  EXPECT_TRUE(inside);
  // Where not even the short name fits, the folder is reported.
  const std::string unfit = noShortFit + "\\" + std::string(40, 'I');
  EXPECT_EQ(OutcomesOf(unfit), std::vector<ScanOutcome>{ScanOutcome::CannotOpen});
  EXPECT_EQ(state().unopenedFolderCount, 1);
  // The status ring's line shows the longest form that fits, marked as cut.
  const std::string line = scan::ComposeStatusLine(unfit, ScanOutcome::CannotOpen);
  EXPECT_EQ(line.size(), 259u);
  EXPECT_NE(line.find("..."), std::string::npos);
  EXPECT_TRUE(line.ends_with(std::string(20, 'I') + "\t\t\tcannot open"));

  // What does not fit goes first, one at a time: removing a whole tree
  // stumbles over such paths.
  std::error_code ignored;
  for (const std::string& path : {longFolder + "\\in.exe", longFolder, longFile, unfit}) {
    std::filesystem::remove("\\\\?\\" + path, ignored);
  }
  std::filesystem::remove_all(root_ + "\\dd", ignored);
}

TEST_F(WalkTest, BelowSystemVolumeInformationNothingIsWalked) {
  // Our Wine prefix's C: drive is ours to use.
  std::string folder = "C:\\System Volume Information";
  std::filesystem::remove_all(folder);
  std::filesystem::create_directories(folder + "\\sub");
  test_support::WriteBytes(folder + "\\a.exe", kText);
  test_support::WriteBytes(folder + "\\sub\\b.exe", kText);
  EXPECT_EQ(scan::WalkRoot(scan(), folder), RootResult::Completed);
  EXPECT_EQ(Listed(), std::vector<std::string>{folder + "\\a.exe"});
  // Deeper down, or spelt in other letters, the folder is walked whole.
  lines().clear();
  std::filesystem::create_directories(Path("System Volume Information\\sub"));
  Put("System Volume Information\\sub\\c.exe", kText);
  EXPECT_EQ(scan::WalkRoot(scan(), root_), RootResult::Completed);
  EXPECT_EQ(lines().size(), 1u);
  std::filesystem::remove_all(folder);
}
#endif

}  // namespace
