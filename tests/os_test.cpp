// The platform layer behaves the same on both platforms where our code relies
// on it, and enforces Win32's share modes where the platform has them.
#include <gtest/gtest.h>

#include <cstring>

#include "os/file.h"
#include "os/image_checksum.h"
#include "os/system.h"
#include "tests/support/file_bytes.h"
#include "tests/support/temp_dir.h"

namespace {

using os::Access;
using os::Disposition;
using os::File;
using os::Share;
using test_support::ReadBytes;
using test_support::TempDir;
using test_support::WriteBytes;

TEST(OsFile, DispositionsDecideWhetherAFileIsCreated) {
  TempDir dir;
  std::string path = dir.File("a.bin");
  EXPECT_FALSE(
      File::Open(path, Access::Read, Share::ReadWrite, Disposition::OpenExisting).IsOpen());
  EXPECT_TRUE(File::Open(path, Access::ReadWrite, Share::Read, Disposition::CreateNew).IsOpen());
  EXPECT_FALSE(File::Open(path, Access::ReadWrite, Share::Read, Disposition::CreateNew).IsOpen());
  EXPECT_TRUE(File::Open(path, Access::ReadWrite, Share::Read, Disposition::OpenAlways).IsOpen());
  EXPECT_TRUE(File::Open(path, Access::Read, Share::ReadWrite, Disposition::OpenExisting).IsOpen());
  // A folder is no file.
  EXPECT_FALSE(
      File::Open(dir.path().string(), Access::Read, Share::ReadWrite, Disposition::OpenExisting)
          .IsOpen());
}

TEST(OsFile, PositionedReadsWritesAndCuts) {
  TempDir dir;
  std::string path = dir.File("b.bin");
  WriteBytes(path, {0, 1, 2, 3, 4, 5, 6, 7, 8, 9});
  {
    File file = File::Open(path, Access::ReadWrite, Share::Read, Disposition::OpenExisting);
    ASSERT_TRUE(file.IsOpen());
    uint8_t buffer[8] = {};
    EXPECT_EQ(file.ReadAt(6, buffer, 8), 4u);  // short at the end of the file
    EXPECT_EQ(buffer[0], 6);
    EXPECT_EQ(file.ReadAt(20, buffer, 4), 0u);
    const uint8_t patch[2] = {0xAA, 0xBB};
    EXPECT_EQ(file.WriteAt(2, patch, 2), 2u);
    EXPECT_TRUE(file.SetEnd(5));
    EXPECT_EQ(file.Size(), 5u);
  }
  EXPECT_EQ(ReadBytes(path), (std::vector<uint8_t>{0, 1, 0xAA, 0xBB, 4}));
}

TEST(OsFile, ReadOnlyHandleCannotWrite) {
  TempDir dir;
  std::string path = dir.File("c.bin");
  WriteBytes(path, {1, 2, 3});
  File file = File::Open(path, Access::Read, Share::ReadWrite, Disposition::OpenExisting);
  const uint8_t byte = 9;
  EXPECT_FALSE(file.WriteAt(0, &byte, 1).has_value());
  file.Close();
  EXPECT_FALSE(file.IsOpen());
  EXPECT_EQ(ReadBytes(path), (std::vector<uint8_t>{1, 2, 3}));
}

#ifdef _WIN32
TEST(OsFile, ShareModesAreEnforced) {
  TempDir dir;
  std::string path = dir.File("d.bin");
  WriteBytes(path, {1});
  File writer = File::Open(path, Access::ReadWrite, Share::Read, Disposition::OpenExisting);
  ASSERT_TRUE(writer.IsOpen());
  // Sharing for reading only: a second writer is refused, and so is a reader
  // that wants to share writing (the first handle already writes).
  EXPECT_FALSE(
      File::Open(path, Access::ReadWrite, Share::Read, Disposition::OpenExisting).IsOpen());
  EXPECT_FALSE(File::Open(path, Access::Read, Share::Read, Disposition::OpenExisting).IsOpen());
  EXPECT_TRUE(File::Open(path, Access::Read, Share::ReadWrite, Disposition::OpenExisting).IsOpen());
}

TEST(OsSystem, SystemDirectoryAndImageHlp) {
  std::string system = os::SystemDirectory();
  ASSERT_FALSE(system.empty());
  os::PlatformChecksum sums =
      os::MapFileAndCheckSum(system + "\\IMAGEHLP.DLL", system + "\\kernel32.dll");
  EXPECT_EQ(sums.status, os::PlatformChecksum::Status::Done);
  EXPECT_NE(sums.trueSum, 0u);
  EXPECT_EQ(os::MapFileAndCheckSum(system + "\\NO-SUCH.DLL", system + "\\kernel32.dll").status,
            os::PlatformChecksum::Status::Failed);
}
#else
TEST(OsSystem, NoSystemDirectoryOrImageHlp) {
  EXPECT_TRUE(os::SystemDirectory().empty());
  EXPECT_EQ(os::MapFileAndCheckSum("IMAGEHLP.DLL", "x").status,
            os::PlatformChecksum::Status::Unavailable);
}

TEST(OsSystem, CharacterPrefixKeepsUtf8CharactersWhole) {
  const char* text = "ab\xC3\xA9z";  // a, b, e-acute (two bytes), z
  size_t length = std::strlen(text);
  EXPECT_EQ(os::CharacterPrefix(text, length, 10), length);
  EXPECT_EQ(os::CharacterPrefix(text, length, 4), 4u);
  EXPECT_EQ(os::CharacterPrefix(text, length, 3), 2u);  // not inside the e-acute
}
#endif

}  // namespace
