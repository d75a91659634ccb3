// Per-object handling: every row of its outcome table, on real files made
// with the specimen builder.
#include <gtest/gtest.h>

#include <filesystem>

#include <algorithm>

#include "engine/disinfect.h"
#include "engine/journal.h"
#include "engine/repair_transaction.h"
#include "os/file_ops.h"
#include "repair/restart.h"
#include "scan/backup.h"
#include "scan/sha256.h"
#include "tests/support/file_bytes.h"
#include "tests/support/scan_fixture.h"
#include "tests/support/specimens.h"

namespace {

using scan::ActionMode;
using scan::ScanOutcome;
using test_support::ReadBytes;

// The requests that reached the restart step, as "destination<source" lines.
std::vector<std::string> g_restartRequests;
bool g_restartAnswer = true;

bool RecordRestart(const std::optional<std::string>& destination, const std::string& source) {
  g_restartRequests.push_back(destination.value_or("NUL") + "<" + source);
  return g_restartAnswer;
}

// Asks for every cleaned file to be deleted instead of kept.
bool AskDeletion(const std::string&) { return true; }

class HandleObjectTest : public test_support::ScanFixture {
 protected:
  void SetUp() override {
    ScanFixture::SetUp();
    g_restartRequests.clear();
    g_restartAnswer = true;
    SetCleaning(nullptr, nullptr, RecordRestart);
    infection_ = test_support::InfectOrFail(test_support::SmallProgram(0x4321));
  }

  // The scan's cleaning seams; nullptr keeps a step's default.
  void SetCleaning(engine::PlanResult (*plan)(os::ByteSource&),
                   bool (*deleteInstead)(const std::string&),
                   bool (*replace)(const std::optional<std::string>&, const std::string&)) {
    scan().seams().plan = plan;
    scan().seams().deleteInstead = deleteInstead;
    if (replace == nullptr) {
      scan().seams().replaceAtRestart = repair::ReplaceAtRestart;
    } else {
      scan().seams().replaceAtRestart =
          [replace](scan::ScanState&, const std::optional<std::string>& destination,
                    const std::string& source) { return replace(destination, source); };
    }
  }

  // Handles `path` (short path `shortPath`) in `mode`; returns HandleObject's
  // answer and leaves the outcome in lines().
  int Handle(const std::string& path, ActionMode mode, const std::string& shortPath = "") {
    lines().clear();
    state().setActionMode(mode);
    scan::SetPath(state().objectPath, path);
    scan::SetPath(state().objectShortPath, shortPath);
    return scan::HandleObject(scan());
  }
  ScanOutcome Outcome() const {
    EXPECT_EQ(lines().size(), 1u);
    return lines().empty() ? ScanOutcome::Ok : lines().back().second;
  }
  void MakeReadOnly(const std::string& path) {
    auto attributes = os::ReadAttributes(path);
    ASSERT_TRUE(attributes.has_value());
    os::FileAttributes readOnly = *attributes;
#ifdef _WIN32
    readOnly.bits |= 1;  // FILE_ATTRIBUTE_READONLY
#else
    readOnly.bits &= ~0222u;
#endif
    ASSERT_TRUE(os::WriteAttributes(path, readOnly));
  }

  specimen::Infection infection_;
};

TEST_F(HandleObjectTest, OutcomesThatLeaveTheFileAlone) {
  std::string clean = Put("clean.exe", test_support::SmallProgram());
  std::string infected = Put("infected.exe", infection_.bytes);
  struct Case {
    const char* what;
    std::string path;
    ActionMode mode;
    ScanOutcome outcome;
  };
  const Case cases[] = {
      {"missing", Path("missing.exe"), ActionMode::Clean, ScanOutcome::CannotOpen},
      {"clean", clean, ActionMode::Clean, ScanOutcome::Ok},
      {"scan only", infected, ActionMode::ScanOnly, ScanOutcome::Infected},
      {"changes barred", infected, ActionMode::ChangesBarred, ScanOutcome::CannotDisinfect},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Handle(c.path, c.mode), 1) << c.what;
    EXPECT_EQ(Outcome(), c.outcome) << c.what;
  }
  EXPECT_EQ(ReadBytes(infected), infection_.bytes);
  EXPECT_TRUE(g_restartRequests.empty());
}

TEST_F(HandleObjectTest, ScanOnlyLeavesAReadOnlyFileAsItIs) {
  std::string path = Put("ro.exe", infection_.bytes);
  MakeReadOnly(path);
  auto before = os::ReadAttributes(path);
  EXPECT_EQ(Handle(path, ActionMode::ScanOnly), 1);
  EXPECT_EQ(Outcome(), ScanOutcome::Infected);
  EXPECT_EQ(os::ReadAttributes(path)->bits, before->bits);
}

TEST_F(HandleObjectTest, PromptAnswersDecide) {
  struct Case {
    int32_t answer;
    ScanOutcome outcome;
  };
  static int32_t answer = 0;
  scan().seams().prompt = [](std::string_view) { return answer; };
  const Case cases[] = {{103, ScanOutcome::Infected},
                        {-1, ScanOutcome::Infected},
                        {7, ScanOutcome::Infected},
                        {102, ScanOutcome::Disinfected}};
  for (const Case& c : cases) {
    std::string path = Put("ask.exe", infection_.bytes);
    answer = c.answer;
    EXPECT_EQ(Handle(path, ActionMode::AskUser), 1) << c.answer;
    EXPECT_EQ(Outcome(), c.outcome) << c.answer;
  }
  std::string path = Put("quit.exe", infection_.bytes);
  answer = 104;
  state().ResetCounters();
  EXPECT_EQ(Handle(path, ActionMode::AskUser), 0);
  EXPECT_TRUE(lines().empty());
  EXPECT_EQ(state().leftInfectedCount + state().disinfectedCount, 0);
  EXPECT_EQ(ReadBytes(path), infection_.bytes);
}

TEST_F(HandleObjectTest, CleaningInPlaceRestoresAReadOnlyMark) {
  std::string path = Put("clean-me.exe", infection_.bytes);
  MakeReadOnly(path);
  auto before = os::ReadAttributes(path);
  EXPECT_EQ(Handle(path, ActionMode::Clean), 1);
  EXPECT_EQ(Outcome(), ScanOutcome::Disinfected);
  EXPECT_EQ(ReadBytes(path), test_support::ExpectedRepairedBytes(infection_));
  EXPECT_EQ(os::ReadAttributes(path)->bits, before->bits);
}

TEST_F(HandleObjectTest, AFailedRepairLeavesTheFileAndItsMark) {
  // A KERNEL32 whose saved export values are cut off cannot be cleaned; its
  // header checksum, now wrong for the infected file, is left as it is too.
  specimen::Infection kernel =
      test_support::InfectOrFail(test_support::KernelLibrary("KERNEL32.dll", 0x1234));
  std::vector<uint8_t> bytes = kernel.bytes;
  bytes.resize(kernel.markerOffset + 3000);
  std::string path = Put("Krized.tt6", bytes);
  MakeReadOnly(path);
  auto before = os::ReadAttributes(path);
  EXPECT_EQ(Handle(path, ActionMode::Clean), 1);
  EXPECT_EQ(Outcome(), ScanOutcome::CannotDisinfect);
  EXPECT_EQ(ReadBytes(path), bytes);
  EXPECT_EQ(os::ReadAttributes(path)->bits, before->bits);
}

// A journal beside the file: a run killed while it cleaned the file. Any run
// that meets the file puts it back first, a scan-only one too, and then goes
// on as it would.
TEST_F(HandleObjectTest, AnInterruptedRepairIsUndoneBeforeTheFileIsHandled) {
  std::string path = Put("killed.exe", infection_.bytes);
  MakeReadOnly(path);
  auto before = os::ReadAttributes(path);
  // The state a run killed right after its writes leaves: the file repaired
  // but writable, its journal still there.
  engine::RepairSettings settings;
  for (uint64_t at = 1;; ++at) {
    os::WriteFaults faults(os::WriteFaults::Mode::Stop, at);
    settings.faults = &faults;
    std::optional<os::FileAttributes> cleared;
    engine::RepairInPlace(path, settings, &cleared);
    if (ReadBytes(path) == test_support::ExpectedRepairedBytes(infection_)) break;
    ASSERT_TRUE(engine::RecoverFromJournal(engine::JournalPathFor(path), nullptr).what !=
                engine::Recovery::Failed);
    ASSERT_LT(at, 100u);
  }
  ASSERT_TRUE(os::ReadAttributes(engine::JournalPathFor(path)).has_value());
  const std::vector<uint8_t> halfway = ReadBytes(path);
  const auto halfwayMode = os::ReadAttributes(path);

  // A scan that only reads writes nothing: the file, half-way, is not
  // scanned, and both it and its journal stay for a cleaning run.
  EXPECT_EQ(Handle(path, ActionMode::ScanOnly), 1);
  EXPECT_EQ(Outcome(), ScanOutcome::CannotOpen);
  EXPECT_EQ(ReadBytes(path), halfway);
  EXPECT_EQ(os::ReadAttributes(path)->bits, halfwayMode->bits);
  EXPECT_TRUE(os::ReadAttributes(engine::JournalPathFor(path)).has_value());

  // A cleaning run undoes it first (the read-only mark back), then cleans.
  EXPECT_EQ(Handle(path, ActionMode::Clean), 1);
  EXPECT_EQ(Outcome(), ScanOutcome::Disinfected);
  EXPECT_EQ(ReadBytes(path), test_support::ExpectedRepairedBytes(infection_));
  EXPECT_EQ(os::ReadAttributes(path)->bits, before->bits);
  EXPECT_FALSE(os::ReadAttributes(engine::JournalPathFor(path)).has_value());
}

// With a backup folder, the infected original is kept there before it is
// cleaned, under a name that neither runs nor takes another's place, with
// its manifest line.
TEST_F(HandleObjectTest, ABackupOfTheOriginalIsKeptBeforeCleaning) {
  std::string folder = Path("kept");
  std::filesystem::create_directories(folder);
  scan().seams().repair = {folder, nullptr, nullptr};
  std::string first = Put("a/setup.exe", infection_.bytes);
  std::string second = Put("b/setup.exe", infection_.bytes);
  EXPECT_EQ(Handle(first, ActionMode::Clean), 1);
  EXPECT_EQ(Handle(second, ActionMode::Clean), 1);
  scan().seams().repair = {};
  EXPECT_EQ(ReadBytes(first), test_support::ExpectedRepairedBytes(infection_));

  std::vector<std::string> kept;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    std::string name = entry.path().filename().string();
    if (name == scan::kManifestName) continue;
    kept.push_back(name);
    EXPECT_EQ(ReadBytes(entry.path().string()), infection_.bytes) << name;
    EXPECT_TRUE(name.ends_with(".kzb")) << name;
  }
  std::sort(kept.begin(), kept.end());
  ASSERT_EQ(kept.size(), 2u);
  EXPECT_TRUE(kept[0].starts_with("setup.exe.")) << kept[0];
  EXPECT_NE(kept[0], kept[1]);

  std::vector<uint8_t> manifest = ReadBytes(folder + "/" + scan::kManifestName);
  std::string text(manifest.begin(), manifest.end());
  scan::Sha256 hash;
  hash.Add(infection_.bytes.data(), infection_.bytes.size());
  std::string sha = hash.FinishHex();
  for (const std::string& original : {first, second}) {
    EXPECT_NE(
        text.find("\t" + std::to_string(infection_.bytes.size()) + "\t" + sha + "\t" + original),
        std::string::npos)
        << text;
  }
}

TEST_F(HandleObjectTest, ADeletionRequestDeletesTheFile) {
  SetCleaning(nullptr, AskDeletion, RecordRestart);
  std::string path = Put("delete-me.exe", infection_.bytes);
  EXPECT_EQ(Handle(path, ActionMode::Clean), 1);
  EXPECT_EQ(Outcome(), ScanOutcome::Deleted);
  EXPECT_FALSE(std::filesystem::exists(path));
}

TEST_F(HandleObjectTest, AFileOpenedOnlyByItsShortPathIsCleanedAsACopyOfItsLongOne) {
  std::string real = Put("REAL.EXE", infection_.bytes);
  // The long name does not open, so the test goes by the short one; the copy
  // goes by the long name too and cannot be made.
  EXPECT_EQ(Handle(Path("long name.exe"), ActionMode::Clean, real), 1);
  EXPECT_EQ(Outcome(), ScanOutcome::CannotDisinfect);
  EXPECT_EQ(ReadBytes(real), infection_.bytes);
  EXPECT_FALSE(std::filesystem::exists(Path("long name.exf")));
  EXPECT_EQ(Handle(Path("long name.exe"), ActionMode::ScanOnly, real), 1);
  EXPECT_EQ(Outcome(), ScanOutcome::Infected);
}

TEST(CopyName, AdvancesTheLastCharacter) {
  struct Case {
    const char* path;
    int attempt;
    const char* copy;
  };
  const Case cases[] = {
      {"C:\\A.EXE", 0, "C:\\A.EXF"},
      {"dir/KERNEL32.DLL", 0, "dir/KERNEL32.DLM"},
      {"Krized.tt6", 0, "Krized.tt7"},
      {"x.abz", 0, "x.aba"},
      {"x.abZ", 0, "x.abA"},
      {"a.exe", 1, "a.exg"},
      {"a.ex9", 0, "a.ex;"},  // ':' cannot end a name
      {"a.ex-", 0, "a.ex0"},  // '.' cannot end one either
      {"a.\xFF", 0, "a.!"},   // past 255 comes 0, then the first printable one
  };
  for (const Case& c : cases) {
    EXPECT_EQ(scan::CopyNameFor(c.path, c.attempt), c.copy) << c.path;
  }
  EXPECT_EQ(scan::CopyNameFor("", 0), "");
}

#ifdef _WIN32
// Under Windows share modes are real: a file held open without write sharing
// is in use, and a cleaned copy is made to take its place at restart.
class InUseTest : public HandleObjectTest {
 protected:
  void SetUp() override {
    HandleObjectTest::SetUp();
    path_ = Put("inuse.exe", infection_.bytes);
    holder_ =
        os::File::Open(path_, os::Access::Read, os::Share::Read, os::Disposition::OpenExisting);
    ASSERT_TRUE(holder_.IsOpen());
  }
  std::string path_;
  os::File holder_;
};

TEST_F(InUseTest, ACleanedCopyIsScheduledToReplaceIt) {
  MakeReadOnly(path_);
  EXPECT_EQ(Handle(path_, ActionMode::Clean), 1);
  EXPECT_EQ(Outcome(), ScanOutcome::DisinfectAtReboot);
  std::string copy = Path("inuse.exf");
  EXPECT_EQ(ReadBytes(copy), test_support::ExpectedRepairedBytes(infection_));
  EXPECT_EQ(ReadBytes(path_), infection_.bytes);
  EXPECT_EQ(g_restartRequests, std::vector<std::string>{path_ + "<" + copy});
  // The mark stays cleared, so that the replacement can take the file's place.
  EXPECT_FALSE(os::IsReadOnly(*os::ReadAttributes(path_)));
}

TEST_F(InUseTest, ANameInUseIsNeverOverwritten) {
  std::vector<uint8_t> other = {'m', 'i', 'n', 'e'};
  std::string taken = Put("inuse.exf", other);
  EXPECT_EQ(Handle(path_, ActionMode::Clean), 1);
  EXPECT_EQ(Outcome(), ScanOutcome::DisinfectAtReboot);
  EXPECT_EQ(ReadBytes(taken), other);
  EXPECT_EQ(g_restartRequests, std::vector<std::string>{path_ + "<" + Path("inuse.exg")});
}

TEST_F(InUseTest, TheCopyGoesAwayUnlessItIsScheduled) {
  struct Case {
    const char* what;
    engine::PlanResult (*plan)(os::ByteSource&);
    bool (*deleteInstead)(const std::string&);
    bool restartAnswer;
    ScanOutcome outcome;
    std::vector<std::string> requests;
  };
  auto refusing = [](os::ByteSource&) {
    engine::PlanResult refused;
    refused.refusal = "refused for the test";
    return refused;
  };
  const Case cases[] = {
      {"not scheduled",
       nullptr,
       nullptr,
       false,
       ScanOutcome::CannotDisinfect,
       {path_ + "<" + Path("inuse.exf")}},
      {"repair failed", refusing, nullptr, true, ScanOutcome::CannotDisinfect, {}},
      {"deletion scheduled",
       nullptr,
       AskDeletion,
       true,
       ScanOutcome::DeleteAtReboot,
       {"NUL<" + path_}},
      {"deletion refused",
       nullptr,
       AskDeletion,
       false,
       ScanOutcome::CannotDelete,
       {"NUL<" + path_}},
  };
  MakeReadOnly(path_);
  auto before = os::ReadAttributes(path_);
  for (const Case& c : cases) {
    SetCleaning(c.plan, c.deleteInstead, RecordRestart);
    g_restartAnswer = c.restartAnswer;
    g_restartRequests.clear();
    EXPECT_EQ(Handle(path_, ActionMode::Clean), 1);
    EXPECT_EQ(Outcome(), c.outcome) << c.what;
    EXPECT_EQ(g_restartRequests, c.requests) << c.what;
    EXPECT_FALSE(std::filesystem::exists(Path("inuse.exf"))) << c.what;
    EXPECT_EQ(ReadBytes(path_), infection_.bytes) << c.what;
    if (c.outcome == ScanOutcome::CannotDisinfect) {
      EXPECT_EQ(os::ReadAttributes(path_)->bits, before->bits) << c.what;
    }
    os::WriteAttributes(path_, *before);
  }
}

TEST_F(InUseTest, DeletionOfAFileThatCannotBeDeletedIsScheduled) {
  // Cleaned in place but asked to be deleted while another handle keeps it.
  holder_.Close();
  std::string path = Put("held.exe", infection_.bytes);
  static os::File keeper;
  static std::string heldPath;
  heldPath = path;
  SetCleaning(
      nullptr,
      [](const std::string&) {
        keeper = os::File::Open(heldPath, os::Access::Read, os::Share::ReadWrite,
                                os::Disposition::OpenExisting);
        return true;
      },
      RecordRestart);
  EXPECT_EQ(Handle(path, ActionMode::Clean), 1);
  EXPECT_EQ(Outcome(), ScanOutcome::DeleteAtReboot);
  EXPECT_EQ(g_restartRequests, std::vector<std::string>{"NUL<" + path});
  g_restartAnswer = false;
  g_restartRequests.clear();
  keeper.Close();
  path = Put("held2.exe", infection_.bytes);
  heldPath = path;
  EXPECT_EQ(Handle(path, ActionMode::Clean), 1);
  EXPECT_EQ(Outcome(), ScanOutcome::CannotDelete);
  keeper.Close();
}
#endif

}  // namespace

// What the user sees when the file asked about goes, or is replaced, while
// the prompt is open: that it is gone, or that it was left alone, never that
// no journal could be written; and nothing is written through a link.
TEST_F(HandleObjectTest, AFileChangedWhileItsPromptIsOpenIsSaidToBeSo) {
  struct Case {
    const char* what;
    void (*change)(const std::string& path);
    const char* said;
  };
  static const std::vector<uint8_t>* other = nullptr;
  other = &infection_.bytes;
  const Case cases[] = {
      {"removed", [](const std::string& path) { std::filesystem::remove(path); }, "it is gone"},
      {"replaced by another file",
       [](const std::string& path) {
         std::filesystem::rename(path, path + ".old");
         test_support::WriteBytes(path, *other);
       },
       "it was replaced by another file after it was scanned"},
#ifndef _WIN32
      {"replaced by a link",
       [](const std::string& path) {
         std::filesystem::rename(path, path + ".old");
         std::filesystem::create_symlink(path + ".old", path);
       },
       "it was replaced by a symbolic link after it was scanned"},
#endif
  };
  static std::vector<std::string> told;
  scan().seams().message = [](const char* text, const char*) { told.push_back(text); };
  for (const Case& c : cases) {
    std::string path = Put("asked.exe", infection_.bytes);
    std::filesystem::remove(path + ".old");
    static const Case* now = nullptr;
    static std::string asked;
    now = &c;
    asked = path;
    scan().seams().prompt = [](std::string_view) {
      now->change(asked);
      return static_cast<int32_t>(scan::PromptChoice::Disinfect);
    };
    told.clear();
    EXPECT_EQ(Handle(path, ActionMode::AskUser), 1) << c.what;
    // A file gone is counted as gone, not as one that could not be cleaned.
    EXPECT_EQ(Outcome(),
              std::string(c.what) == "removed" ? ScanOutcome::Gone : ScanOutcome::CannotDisinfect)
        << c.what;
    ASSERT_EQ(told.size(), 1u) << c.what;
    EXPECT_NE(told[0].find(c.said), std::string::npos) << c.what << ": " << told[0];
    EXPECT_EQ(told[0].find("no journal"), std::string::npos) << c.what << ": " << told[0];
    if (std::filesystem::exists(path + ".old")) {
      EXPECT_EQ(ReadBytes(path + ".old"), infection_.bytes) << c.what;
    }
    EXPECT_FALSE(std::filesystem::exists(path + ".kzj")) << c.what;
    std::filesystem::remove(path);
  }
}
