// The platform layer behaves the same on both platforms where our code relies
// on it, and enforces Win32's share modes where the platform has them.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <set>
#include <vector>

#ifdef _WIN32
#include <windows.h>

#include "os/win32/owner.h"
#endif

#include "os/file.h"
#include "os/image_checksum.h"
#include "os/system.h"
#include "tests/support/another_user.h"
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

// Owners on NT: what the administrators, the system and a file system
// without owners hold counts as the superuser's; every other SID gets a tag
// of its own, the same each time, that is neither the superuser's nor that
// of an owner that cannot be told.
TEST(OsOwner, SidsMapToTheSuperuserOrATagOfTheirOwn) {
  struct Case {
    const char* what;
    SID_IDENTIFIER_AUTHORITY authority;
    std::vector<DWORD> parts;
    bool superuser;
  };
  const Case cases[] = {
      {"LocalSystem", SECURITY_NT_AUTHORITY, {SECURITY_LOCAL_SYSTEM_RID}, true},
      {"Administrators",
       SECURITY_NT_AUTHORITY,
       {SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS},
       true},
      {"Everyone", SECURITY_WORLD_SID_AUTHORITY, {SECURITY_WORLD_RID}, true},
      {"Users",
       SECURITY_NT_AUTHORITY,
       {SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_USERS},
       false},
      {"Anonymous", SECURITY_NT_AUTHORITY, {SECURITY_ANONYMOUS_LOGON_RID}, false},
      {"a user", SECURITY_NT_AUTHORITY, {21, 11, 22, 33, 1000}, false},
      {"the next user", SECURITY_NT_AUTHORITY, {21, 11, 22, 33, 1001}, false},
      {"a user of another machine", SECURITY_NT_AUTHORITY, {21, 11, 22, 34, 1000}, false},
  };
  std::set<uint32_t> tags;
  for (const Case& c : cases) {
    DWORD part[8] = {};
    std::copy(c.parts.begin(), c.parts.end(), part);
    SID_IDENTIFIER_AUTHORITY authority = c.authority;
    PSID sid = nullptr;
    ASSERT_TRUE(AllocateAndInitializeSid(&authority, static_cast<BYTE>(c.parts.size()), part[0],
                                         part[1], part[2], part[3], part[4], part[5], part[6],
                                         part[7], &sid));
    const auto* bytes = static_cast<const uint8_t*>(sid);
    const uint32_t owner = os::win32::OwnerOfSid(bytes, GetLengthSid(sid));
    EXPECT_EQ(owner, os::win32::OwnerOfSid(bytes, GetLengthSid(sid))) << c.what;
    if (c.superuser) {
      EXPECT_EQ(owner, os::kSuperUser) << c.what;
    } else {
      EXPECT_NE(owner, os::kSuperUser) << c.what;
      EXPECT_NE(owner, os::win32::kUnknownOwner) << c.what;
      EXPECT_TRUE(tags.insert(owner).second) << c.what << ": the tag of another SID";
      // One byte less, or a count that says otherwise, is no SID.
      EXPECT_EQ(os::win32::OwnerOfSid(bytes, GetLengthSid(sid) - 1), os::win32::kUnknownOwner)
          << c.what;
    }
    FreeSid(sid);
  }
  EXPECT_EQ(os::win32::OwnerOfSid(nullptr, 0), os::win32::kUnknownOwner);
  const uint8_t revision2[12] = {2, 1, 0, 0, 0, 0, 0, 5, 18, 0, 0, 0};
  EXPECT_EQ(os::win32::OwnerOfSid(revision2, sizeof(revision2)), os::win32::kUnknownOwner);
}

// A file this run makes is its user's, on NT as on POSIX; one that another
// user owns is neither its nor the superuser's.
TEST(OsOwner, FilesOfTheRunningUserAndOfAnother) {
  TempDir dir;
  const std::string path = dir.File("owned.bin");
  WriteBytes(path, {1});
  auto ownerOf = [&path] {
    return File::Open(path, Access::Read, Share::ReadWrite, Disposition::OpenExisting)
        .Identity()
        .value()
        .owner;
  };
  EXPECT_EQ(ownerOf(), os::CurrentUser());
  if (!test_support::GiveToAnotherUser(path)) GTEST_SKIP() << "cannot give a file away here";
  EXPECT_NE(ownerOf(), os::CurrentUser());
  EXPECT_NE(ownerOf(), os::kSuperUser);
  EXPECT_EQ(ownerOf(), ownerOf());
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
