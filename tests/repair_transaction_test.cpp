// A repair as one transaction, on a disk that fails at each write in turn:
// with an I/O error, a full disk, or a stop (the program killed there). Right
// afterwards every file is its infected original, its exact clean form, or is
// put back by the next run; a later repair then gives the exact clean form,
// and the file keeps its read-only mark throughout.
#include "engine/repair_transaction.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "engine/journal.h"
#include "os/file_ops.h"
#include "os/system.h"
#include "tests/support/another_user.h"
#include "tests/support/file_bytes.h"
#include "tests/support/specimens.h"
#include "tests/support/temp_dir.h"

namespace {

using engine::RepairStatus;
using os::WriteFaults;
using test_support::ReadBytes;
using test_support::WriteBytes;
using Bytes = std::vector<uint8_t>;

struct Specimen {
  const char* what;
  Bytes infected;
  Bytes clean;
  bool readOnly;
};

std::vector<Specimen> Specimens() {
  auto make = [](const char* what, const Bytes& clean, bool readOnly) {
    specimen::Infection infection = test_support::InfectOrFail(clean);
    return Specimen{what, infection.bytes, test_support::ExpectedRepairedBytes(infection),
                    readOnly};
  };
  return {
      make("KERNEL32 with a checksum", test_support::KernelLibrary("KERNEL32.dll", 0x1234), false),
      make("read-only program", test_support::SmallProgram(), true),
      make("program with a checksum", test_support::SmallProgram(0x4321), false),
  };
}

bool Exists(const std::string& path) { return os::ReadAttributes(path).has_value(); }

os::FileIdentity IdentityOf(const std::string& path) {
  return os::File::Open(path, os::Access::Read, os::Share::ReadWrite, os::Disposition::OpenExisting)
      .Identity()
      .value_or(os::FileIdentity{});
}

class RepairTransactionTest : public ::testing::Test {
 protected:
  // Writes the specimen to `path_`, read-only when it says so, and returns
  // the attributes it then has.
  os::FileAttributes Put(const Specimen& s) {
    if (Exists(path_)) os::WriteAttributes(path_, os::WithoutReadOnly(*os::ReadAttributes(path_)));
    WriteBytes(path_, s.infected);
    os::FileAttributes attributes = *os::ReadAttributes(path_);
    if (s.readOnly) {
#ifdef _WIN32
      attributes.bits |= 1;  // FILE_ATTRIBUTE_READONLY
#else
      attributes.bits &= ~0222u;
#endif
      EXPECT_TRUE(os::WriteAttributes(path_, attributes));
    }
    return *os::ReadAttributes(path_);
  }

  // The file is its original or its clean form, with its attributes.
  void ExpectWhole(const Specimen& s, os::FileAttributes attributes, const std::string& when) {
    Bytes now = ReadBytes(path_);
    EXPECT_TRUE(now == s.infected || now == s.clean) << when << ": half repaired";
    EXPECT_EQ(os::ReadAttributes(path_)->bits, attributes.bits) << when << ": attributes";
  }

  test_support::TempDir dir_;
  std::string path_ = dir_.File("victim.exe");
  std::string journal_ = engine::JournalPathFor(path_);
};

TEST_F(RepairTransactionTest, RepairsVerifiesAndLeavesNoJournal) {
  for (const Specimen& s : Specimens()) {
    os::FileAttributes attributes = Put(s);
    std::optional<os::FileAttributes> cleared;
    engine::RepairOutcome outcome = engine::RepairInPlace(path_, {}, &cleared);
    EXPECT_EQ(outcome.status, RepairStatus::Cleaned) << s.what << ": " << outcome.detail;
    EXPECT_EQ(ReadBytes(path_), s.clean) << s.what;
    EXPECT_EQ(os::ReadAttributes(path_)->bits, attributes.bits) << s.what;
    EXPECT_FALSE(Exists(journal_)) << s.what;
  }
}

// Each writing operation of a repair fails in turn, in each way a disk
// fails; the operation after the last one is where the repair goes through.
TEST_F(RepairTransactionTest, AFailingDiskNeverLeavesAHalfRepairedFile) {
  const std::pair<WriteFaults::Mode, const char*> modes[] = {
      {WriteFaults::Mode::IoError, "I/O error"},
      {WriteFaults::Mode::DiskFull, "full disk"},
      {WriteFaults::Mode::Stop, "stop"},
  };
  for (const Specimen& s : Specimens()) {
    for (const auto& [mode, name] : modes) {
      for (uint64_t failAt = 1;; ++failAt) {
        std::string when =
            std::string(s.what) + ", " + name + " at operation " + std::to_string(failAt);
        os::FileAttributes attributes = Put(s);
        WriteFaults faults(mode, failAt);
        engine::RepairSettings settings;
        settings.faults = &faults;
        std::optional<os::FileAttributes> cleared;
        engine::RepairOutcome outcome = engine::RepairInPlace(path_, settings, &cleared);
        if (!faults.triggered()) {
          EXPECT_EQ(outcome.status, RepairStatus::Cleaned) << when;
          EXPECT_EQ(ReadBytes(path_), s.clean) << when;
          break;
        }
        if (outcome.status == RepairStatus::Cleaned) {
          // Failed after the commit (the journal's removal reaching the disk).
          ExpectWhole(s, attributes, when);
          EXPECT_EQ(ReadBytes(path_), s.clean) << when;
          EXPECT_FALSE(Exists(journal_)) << when;
          continue;
        }
        if (Exists(journal_)) {
          // What the failing disk would not let it undo, the next run puts back.
          engine::RecoveryResult recovered = engine::RecoverFromJournal(journal_, nullptr);
          EXPECT_NE(recovered.what, engine::Recovery::Failed) << when << ": " << recovered.detail;
          EXPECT_FALSE(Exists(journal_)) << when;
        }
        ExpectWhole(s, attributes, when);
        EXPECT_EQ(ReadBytes(path_), s.infected) << when << ": not put back";
        // And the next repair, on a sound disk, goes through.
        engine::RepairOutcome again = engine::RepairInPlace(path_, {}, &cleared);
        EXPECT_EQ(again.status, RepairStatus::Cleaned) << when << ": " << again.detail;
        EXPECT_EQ(ReadBytes(path_), s.clean) << when;
        EXPECT_EQ(os::ReadAttributes(path_)->bits, attributes.bits) << when;
        ASSERT_LT(failAt, 100u) << "the repair never ends";
      }
    }
  }
}

// The journal cut short by a crash while it was written: the file had not
// been touched, and the journal goes. One that names a file changed by
// something else since is not carried out.
TEST_F(RepairTransactionTest, ATornJournalIsDroppedAndAForeignFileIsLeftAlone) {
  Specimen s = Specimens()[0];
  Put(s);
  engine::Journal journal;
  journal.file = "victim.exe";
  journal.writer = os::CurrentUser();
  journal.fileIdentity = IdentityOf(path_);
  journal.oldLength = s.infected.size();
  journal.newLength = s.infected.size() - 4050;
  journal.tail.assign(s.infected.end() - 4050, s.infected.end());
  journal.regions.push_back({100, {s.infected[100]}, {0xEE}});
  Bytes whole = engine::EncodeJournal(journal);

  WriteBytes(journal_, Bytes(whole.begin(), whole.begin() + long(whole.size() / 2)));
  EXPECT_EQ(engine::RecoverFromJournal(journal_, nullptr).what, engine::Recovery::Discarded);
  EXPECT_FALSE(Exists(journal_));
  EXPECT_EQ(ReadBytes(path_), s.infected);

  Bytes foreign = s.infected;
  foreign[100] = static_cast<uint8_t>(foreign[100] ^ 0x5A ^ 0xEE);  // neither before nor after
  WriteBytes(path_, foreign);
  WriteBytes(journal_, whole);
  EXPECT_EQ(engine::RecoverFromJournal(journal_, nullptr).what, engine::Recovery::Failed);
  EXPECT_TRUE(Exists(journal_));
  EXPECT_EQ(ReadBytes(path_), foreign);
}

// A journal left by a repair that stopped after its first write: put back
// when the running user wrote it, and left alone, file and journal, when
// another user owns it (on Windows: on NT, where files have owners).
TEST_F(RepairTransactionTest, OnlyAJournalOfOursIsCarriedOut) {
  Specimen s = Specimens()[0];
  Put(s);
  Bytes half = s.infected;
  half[100] = 0xEE;
  WriteBytes(path_, half);
  engine::Journal journal;
  journal.file = "victim.exe";
  journal.writer = os::CurrentUser();
  journal.fileIdentity = IdentityOf(path_);
  journal.oldLength = s.infected.size();
  journal.newLength = s.infected.size();
  journal.regions.push_back({100, {s.infected[100]}, {0xEE}});
  const Bytes bytes = engine::EncodeJournal(journal);

  WriteBytes(journal_, bytes);
  if (!test_support::GiveToAnotherUser(journal_)) {
    GTEST_SKIP() << "this process cannot give a file to another user";
  }
  engine::RecoveryResult foreign = engine::RecoverFromJournal(journal_, nullptr);
  EXPECT_EQ(foreign.what, engine::Recovery::Untrusted) << foreign.detail;
  EXPECT_TRUE(Exists(journal_));
  EXPECT_EQ(ReadBytes(path_), half);

  ASSERT_TRUE(std::filesystem::remove(journal_));
  WriteBytes(journal_, bytes);
  engine::RecoveryResult ours = engine::RecoverFromJournal(journal_, nullptr);
  EXPECT_EQ(ours.what, engine::Recovery::PutBack) << ours.detail;
  EXPECT_FALSE(Exists(journal_));
  EXPECT_EQ(ReadBytes(path_), s.infected);
}

// An in-use file's copy: made, repaired and scheduled, or gone again with the
// file's mark back, whichever operation fails; a stop leaves a journal that
// the next run carries out the same way.
TEST_F(RepairTransactionTest, ACopyForARestartIsWholeAndScheduledOrGone) {
  Specimen s = Specimens()[0];
  const std::string copy = dir_.File("victim.exf");
  for (WriteFaults::Mode mode : {WriteFaults::Mode::IoError, WriteFaults::Mode::Stop}) {
    for (uint64_t failAt = 1;; ++failAt) {
      std::string when = "operation " + std::to_string(failAt);
      os::FileAttributes attributes = Put(s);
      WriteFaults faults(mode, failAt);
      engine::RepairSettings settings;
      settings.faults = &faults;
      bool scheduled = false;
      auto schedule = [&](const std::string& file, const std::string& cleaned) {
        EXPECT_EQ(file, path_);
        EXPECT_EQ(cleaned, copy);
        scheduled = !faults.stopped();
        return scheduled;
      };
      engine::RepairOutcome outcome =
          engine::RepairAsCopy(path_, copy, attributes, schedule, settings);
      std::string copyJournal = engine::JournalPathFor(copy);
      if (Exists(copyJournal)) {
        engine::Recovery what = engine::RecoverFromJournal(copyJournal, nullptr).what;
        EXPECT_TRUE(what == engine::Recovery::CopyGone || what == engine::Recovery::Discarded)
            << when;
        EXPECT_FALSE(Exists(copyJournal)) << when;
      }
      EXPECT_EQ(ReadBytes(path_), s.infected) << when;
      EXPECT_EQ(os::ReadAttributes(path_)->bits, attributes.bits) << when;
      if (outcome.status == RepairStatus::Cleaned) {
        EXPECT_TRUE(scheduled) << when;
        EXPECT_EQ(ReadBytes(copy), s.clean) << when;
      } else {
        EXPECT_FALSE(Exists(copy)) << when;
      }
      if (Exists(copy)) os::RemoveFile(copy);
      if (!faults.triggered()) break;
      ASSERT_LT(failAt, 100u) << "the repair never ends";
    }
  }
}

}  // namespace
