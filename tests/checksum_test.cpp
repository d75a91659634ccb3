// The image checksum as the format defines it, and its repair in the header.
#include "engine/checksum.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "os/system.h"
#include "tests/support/file_bytes.h"
#include "tests/support/specimens.h"
#include "tests/support/temp_dir.h"

namespace {

using test_support::Le32At;
using test_support::PutLe32;
using test_support::ReadBytes;
using test_support::WriteBytes;

class ChecksumTest : public ::testing::Test {
 protected:
  std::optional<engine::ImageChecksum> Sums(const std::vector<uint8_t>& bytes) {
    WriteBytes(path_, bytes);
    os::File file = os::File::Open(path_, os::Access::Read, os::Share::ReadWrite,
                                   os::Disposition::OpenExisting);
    return engine::ComputeImageChecksum(file);
  }
  test_support::TempDir dir_;
  std::string path_ = dir_.File("x.dll");
};

TEST_F(ChecksumTest, FoldedWordSumPlusLength) {
  struct Case {
    const char* what;
    std::vector<uint8_t> bytes;
    uint32_t trueSum;
  };
  const Case cases[] = {
      {"empty", {}, 0},
      {"two words", {0x01, 0x00, 0x02, 0x00}, 3 + 4},
      {"odd byte is a word of its own", {0x01, 0x00, 0x05}, 1 + 5 + 3},
      {"carry folds back", {0xFF, 0xFF, 0x02, 0x00}, 0x0002 + 4},
      {"all ones stay 0xFFFF", {0xFF, 0xFF, 0xFF, 0xFF}, 0xFFFF + 4},
  };
  for (const Case& c : cases) {
    auto sums = Sums(c.bytes);
    ASSERT_TRUE(sums.has_value()) << c.what;
    EXPECT_EQ(sums->trueSum, c.trueSum) << c.what;
    EXPECT_EQ(sums->headerSum, 0u) << c.what;  // no PE header, no field
  }
}

TEST_F(ChecksumTest, TheStoredFieldIsLeftOutOfTheSum) {
  std::vector<uint8_t> bytes = test_support::SmallProgram(0);
  auto unsummed = Sums(bytes);
  ASSERT_TRUE(unsummed.has_value());
  for (uint32_t stored : {0x1u, 0xFFFFu, 0x12345678u, 0xFFFFFFFFu}) {
    PutLe32(bytes, Le32At(bytes, 60) + 88, stored);
    auto sums = Sums(bytes);
    ASSERT_TRUE(sums.has_value());
    EXPECT_EQ(sums->headerSum, stored);
    EXPECT_EQ(sums->trueSum, unsummed->trueSum) << std::hex << stored;
  }
}

TEST_F(ChecksumTest, RepairWritesOnlyTheFourChecksumBytes) {
  for (uint32_t stored : {0u, 0x1234u}) {
    for (bool setWhenZero : {false, true}) {
      std::vector<uint8_t> before = test_support::SmallProgram(stored);
      auto sums = Sums(before);
      ASSERT_TRUE(sums.has_value());
      EXPECT_TRUE(engine::RepairImageChecksum(path_, setWhenZero));
      std::vector<uint8_t> expected = before;
      if (stored != 0 || setWhenZero) PutLe32(expected, Le32At(before, 60) + 88, sums->trueSum);
      EXPECT_EQ(ReadBytes(path_), expected) << stored << " " << setWhenZero;
    }
  }
}

TEST_F(ChecksumTest, ARightSumIsNotRewritten) {
  // The service reports a right sum for a file that cannot be opened at all:
  // success shows that no open for writing was tried.
  auto rightSum = [](const std::string&) {
    return os::PlatformChecksum{os::PlatformChecksum::Status::Done, 0x5555, 0x5555};
  };
  EXPECT_TRUE(engine::RepairImageChecksum(dir_.File("missing.dll"), false, rightSum));
  auto wrongSum = [](const std::string&) {
    return os::PlatformChecksum{os::PlatformChecksum::Status::Done, 0x5555, 0x6666};
  };
  EXPECT_FALSE(engine::RepairImageChecksum(dir_.File("missing.dll"), false, wrongSum));
}

TEST_F(ChecksumTest, NoChecksumServiceLeavesTheFileAlone) {
  std::vector<uint8_t> before = test_support::SmallProgram(0x1234);
  WriteBytes(path_, before);
  // A library path that does not exist: the platform cannot load it (Win32),
  // or has no such service (POSIX); either way nothing may be written.
  auto missingLibrary = [](const std::string& name) {
    return os::MapFileAndCheckSum(os::SystemDirectory() + "\\NO-IMAGEHLP.DLL", name);
  };
  EXPECT_FALSE(engine::RepairImageChecksum(path_, true, missingLibrary));
  EXPECT_EQ(ReadBytes(path_), before);
}

TEST_F(ChecksumTest, ANonImageIsNeverWritten) {
  std::vector<uint8_t> bytes(300, 0x41);
  bytes[0] = 'M';
  bytes[1] = 'Z';
  WriteBytes(path_, bytes);
  auto claimsWrong = [](const std::string&) {
    return os::PlatformChecksum{os::PlatformChecksum::Status::Done, 0x1, 0x2};
  };
  EXPECT_FALSE(engine::RepairImageChecksum(path_, true, claimsWrong));
  EXPECT_EQ(ReadBytes(path_), bytes);
}

#ifdef _WIN32
// Our own computation agrees with the system's IMAGEHLP on every library and
// program of the system directory.
TEST(ChecksumAgreement, MatchesMapFileAndCheckSumOnSystemFiles) {
  std::string system = os::SystemDirectory();
  std::string imagehlp = system + "\\IMAGEHLP.DLL";
  int compared = 0;
  for (const auto& entry : std::filesystem::directory_iterator(system)) {
    std::string ext = entry.path().extension().string();
    if (!entry.is_regular_file() || (ext != ".dll" && ext != ".exe")) continue;
    std::string name = entry.path().string();
    os::PlatformChecksum theirs = os::MapFileAndCheckSum(imagehlp, name);
    os::File file =
        os::File::Open(name, os::Access::Read, os::Share::ReadWrite, os::Disposition::OpenExisting);
    auto ours = engine::ComputeImageChecksum(file);
    if (theirs.status != os::PlatformChecksum::Status::Done || !ours) continue;
    // Wine's service reports success for 16-bit (NE) files without computing
    // anything; only PE images are compared.
    std::vector<uint8_t> head = ReadBytes(name);
    if (head.size() < 64 || uint64_t{Le32At(head, 60)} + 4 > head.size() ||
        Le32At(head, Le32At(head, 60)) != 0x00004550u) {
      continue;
    }
    EXPECT_EQ(ours->headerSum, theirs.headerSum) << name;
    EXPECT_EQ(ours->trueSum, theirs.trueSum) << name;
    ++compared;
  }
  EXPECT_GT(compared, 200);
}
#endif

}  // namespace
