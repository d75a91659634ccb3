// An original put back from its backup as one transaction, on a disk that
// fails at each write in turn: right afterwards the file is its cleaned form
// or its original, or the next run puts the cleaned form back by the journal;
// and it is put back only over what cleaning made of it, unless forced.
#include "engine/restore_transaction.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <optional>

#include "engine/journal.h"
#include "engine/repair_transaction.h"
#include "os/file_ops.h"
#include "tests/support/file_bytes.h"
#include "tests/support/specimens.h"
#include "tests/support/temp_dir.h"

namespace {

using engine::RestoreStatus;
using os::WriteFaults;
using test_support::ReadBytes;
using test_support::WriteBytes;
using Bytes = std::vector<uint8_t>;

bool Exists(const std::string& path) { return os::ReadAttributes(path).has_value(); }

struct Case {
  const char* what;
  Bytes original;  // the backup
  Bytes now;       // the file before the restore
  bool force;
};

std::vector<Case> Cases() {
  specimen::Infection kernel =
      test_support::InfectOrFail(test_support::KernelLibrary("KERNEL32.dll", 0x1234));
  specimen::Infection program = test_support::InfectOrFail(test_support::SmallProgram(0x4321));
  Bytes longer = test_support::ExpectedRepairedBytes(program);
  longer.resize(program.bytes.size() + 5000, 0x77);
  return {
      {"KERNEL32 as cleaning left it", kernel.bytes, test_support::ExpectedRepairedBytes(kernel),
       false},
      {"a program as cleaning left it", program.bytes, test_support::ExpectedRepairedBytes(program),
       false},
      {"a longer file, forced", program.bytes, longer, true},
  };
}

class RestoreTransactionTest : public ::testing::Test {
 protected:
  engine::RestoreOutcome Restore(const Bytes& backup, bool force, WriteFaults* faults) {
    WriteBytes(backupPath_, backup);
    os::File kept = os::File::Open(backupPath_, os::Access::Read, os::Share::Read,
                                   os::Disposition::OpenExisting);
    engine::RestoreSettings settings;
    settings.force = force;
    settings.faults = faults;
    return engine::RestoreInPlace(folder_, "victim.exe", kept, settings);
  }

  test_support::TempDir dir_;
  os::Folder folder_ = os::Folder::Open(dir_.path().string());
  std::string path_ = dir_.File("victim.exe");
  std::string journal_ = engine::JournalPathFor(path_);
  std::string backupPath_ = dir_.File("victim.exe.kzb");
};

// Each writing operation fails in turn, in each way a disk fails; the
// operation after the last one is where the restore goes through.
TEST_F(RestoreTransactionTest, AFailingDiskNeverLeavesAHalfRestoredFile) {
  const std::pair<WriteFaults::Mode, const char*> modes[] = {
      {WriteFaults::Mode::IoError, "I/O error"},
      {WriteFaults::Mode::DiskFull, "full disk"},
      {WriteFaults::Mode::Stop, "stop"},
  };
  for (const Case& c : Cases()) {
    for (const auto& [mode, name] : modes) {
      for (uint64_t failAt = 1;; ++failAt) {
        const std::string when =
            std::string(c.what) + ", " + name + " at operation " + std::to_string(failAt);
        WriteBytes(path_, c.now);
        WriteFaults faults(mode, failAt);
        const engine::RestoreOutcome outcome = Restore(c.original, c.force, &faults);
        if (!faults.triggered()) {
          EXPECT_EQ(outcome.status, RestoreStatus::Restored) << when << ": " << outcome.detail;
          EXPECT_EQ(ReadBytes(path_), c.original) << when;
          EXPECT_FALSE(Exists(journal_)) << when;
          break;
        }
        if (outcome.status == RestoreStatus::Restored) {
          // Failed after the commit (the journal's removal reaching the disk).
          EXPECT_EQ(ReadBytes(path_), c.original) << when;
          EXPECT_FALSE(Exists(journal_)) << when;
          continue;
        }
        if (Exists(journal_)) {
          // What the failing disk would not let it undo, the next run does.
          const engine::RecoveryResult recovered = engine::RecoverFromJournal(journal_, nullptr);
          EXPECT_TRUE(recovered.what == engine::Recovery::PutBack ||
                      recovered.what == engine::Recovery::Discarded)  // cut short: nothing done
              << when << ": " << recovered.detail;
          EXPECT_FALSE(Exists(journal_)) << when;
        }
        EXPECT_EQ(ReadBytes(path_), c.now) << when << ": not put back";
        ASSERT_LT(failAt, 100u) << "the restore never ends";
      }
    }
  }
}

// Put back only over the cleaned form of the backup, unless forced; a file
// that holds the original already, or is gone, is not written.
TEST_F(RestoreTransactionTest, OnlyTheCleanedFormIsOverwrittenUnlessForced) {
  const specimen::Infection infection =
      test_support::InfectOrFail(test_support::SmallProgram(0x4321));
  const Bytes cleaned = test_support::ExpectedRepairedBytes(infection);
  Bytes edited = cleaned;
  edited[0x100] ^= 1;
  const struct {
    const char* what;
    std::optional<Bytes> now;
    bool force;
    RestoreStatus status;
    Bytes after;
  } cases[] = {
      {"cleaned form", cleaned, false, RestoreStatus::Restored, infection.bytes},
      {"one byte changed since", edited, false, RestoreStatus::ChangedSince, edited},
      {"one byte changed since, forced", edited, true, RestoreStatus::Restored, infection.bytes},
      {"the original already", infection.bytes, false, RestoreStatus::AlreadyThere,
       infection.bytes},
      {"gone", std::nullopt, true, RestoreStatus::Gone, {}},
  };
  for (const auto& c : cases) {
    std::filesystem::remove(path_);
    if (c.now) WriteBytes(path_, *c.now);
    EXPECT_EQ(Restore(infection.bytes, c.force, nullptr).status, c.status) << c.what;
    if (c.now) {
      EXPECT_EQ(ReadBytes(path_), c.after) << c.what;
    }
    EXPECT_EQ(Exists(path_), c.now.has_value()) << c.what;
    EXPECT_FALSE(Exists(journal_)) << c.what;
  }
}

}  // namespace
