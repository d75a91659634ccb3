// Restart requests recorded for real: run under Wine in a Windows 98 prefix
// (rename lists in the Windows directory) and in an NT prefix (delayed moves).
// The ctest entry names the platform the prefix must report in
// KRIZ_EXPECT_PLATFORM ("98" or "nt"). The names are of files that do not
// exist: nothing here is carried out, and the lists are removed afterwards.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>

#include "os/file.h"
#include "os/restart.h"
#include "repair/restart.h"
#include "scan/scan_state.h"

namespace {

std::string ReadText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteText(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
  ASSERT_TRUE(out.good()) << path;
}

class RestartTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* expected = std::getenv("KRIZ_EXPECT_PLATFORM");
    if (expected == nullptr) GTEST_SKIP() << "run by ctest in a prefix of known platform";
    ASSERT_EQ(repair::IsWindowsNt(), std::string(expected) == "nt");
    std::string windows = os::WindowsDirectory();
    ASSERT_FALSE(windows.empty());
    systemList_ = windows + "\\WININIT.INI";
    ownList_ = windows + "\\WININI32.INI";
    RemoveLists();
    state_.setBootRenameNeeded(0);
  }
  void TearDown() override { RemoveLists(); }

  void RemoveLists() {
    std::error_code ignored;
    if (!systemList_.empty()) std::filesystem::remove(systemList_, ignored);
    if (!ownList_.empty()) std::filesystem::remove(ownList_, ignored);
  }
  static bool Exists(const std::string& path) { return std::filesystem::exists(path); }
  int32_t BootRenameNeeded() const { return state_.bootRenameNeeded(); }
  bool ReplaceAtRestart(const std::optional<std::string>& destination, const std::string& source) {
    return repair::ReplaceAtRestart(state_, destination, source);
  }

  std::string systemList_;
  std::string ownList_;
  scan::ScanState state_;
};

const std::string kHeader = "[rename]\r\n";

// Every refusal answers false before anything is written or flagged.
TEST_F(RestartTest, RefusalsTouchNothing) {
  struct Refused {
    const char* why;
    std::optional<std::string> destination;
    std::string source;
  };
  const Refused cases[] = {
      {"missing source", std::nullopt, ""},
      {"no drive", std::nullopt, "\\KRIZRST\\A.EXE"},
      {"forward slash", std::nullopt, "C:/KRIZRST/A.EXE"},
      {"relative to a drive", "C:A.EXE", "C:A.EXF"},
      {"drive letter case", "c:\\KRIZRST\\A.EXE", "C:\\KRIZRST\\A.EXF"},
      {"other drive", "B:\\KRIZRST\\A.EXE", "C:\\KRIZRST\\A.EXF"},
      {"empty destination", "", "C:\\KRIZRST\\A.EXF"},
      {"CD-ROM drive", std::nullopt, "E:\\Program Files\\A.EXE"},
      {"network drive", "N:\\A.EXE", "N:\\A.EXF"},
      {"no such drive", std::nullopt, "Q:\\A.EXE"},
      {"source too long", std::nullopt, "C:\\" + std::string(257, 'A')},
      {"destination too long", "C:\\" + std::string(257, 'A'), "C:\\A.EXF"},
      {"line break in a name", std::nullopt, "C:\\A.EXE\r\nC:\\WINDOWS\\X=C:\\B.EXE"},
      {"zero byte in a name", std::nullopt, std::string("C:\\A.EXE\0.TXT", 13)},
  };
  for (const Refused& r : cases) {
    EXPECT_FALSE(ReplaceAtRestart(r.destination, r.source)) << r.why;
  }
  EXPECT_EQ(BootRenameNeeded(), 0);
  EXPECT_FALSE(Exists(systemList_));
  EXPECT_FALSE(Exists(ownList_));
  // The longest name that is taken: 259 characters.
  EXPECT_TRUE(ReplaceAtRestart(std::nullopt, "C:\\" + std::string(256, 'A')));
}

TEST_F(RestartTest, NtRecordsDelayedMovesAndNoList) {
  if (!repair::IsWindowsNt()) GTEST_SKIP() << "Windows 9x prefix";
  EXPECT_TRUE(
      ReplaceAtRestart("C:\\KRIZRST\\Program Files\\A.EXE", "C:\\KRIZRST\\Program Files\\A.EXF"));
  EXPECT_TRUE(ReplaceAtRestart(std::nullopt, "C:\\KRIZRST\\B.EXE"));
  EXPECT_EQ(BootRenameNeeded(), 0);
  EXPECT_FALSE(Exists(systemList_));
  EXPECT_FALSE(Exists(ownList_));
}

class Restart9xTest : public RestartTest {
 protected:
  void SetUp() override {
    RestartTest::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    if (repair::IsWindowsNt()) GTEST_SKIP() << "Windows NT prefix";
  }
};

TEST_F(Restart9xTest, ShortNamesGoToTheSystemsList) {
  const std::string kernel = "C:\\KRIZRST\\SYSTEM\\KERNEL32.DLL";
  const std::string kernelLine = kernel + "=C:\\KRIZRST\\SYSTEM\\KERNEL32.DLM\r\n";
  ASSERT_TRUE(ReplaceAtRestart(kernel, "C:\\KRIZRST\\SYSTEM\\KERNEL32.DLM"));
  EXPECT_EQ(ReadText(systemList_), kHeader + kernelLine);  // a new list holds just this
  EXPECT_EQ(BootRenameNeeded(), 0);

  // Asked again: true, and the list stays as it is.
  ASSERT_TRUE(ReplaceAtRestart(kernel, "C:\\KRIZRST\\SYSTEM\\KERNEL32.DLM"));
  EXPECT_EQ(ReadText(systemList_), kHeader + kernelLine);

  // A later request stands above; a blank in the source alone quotes it but
  // keeps the system's list; a removable drive (B: in our prefixes) is taken;
  // the flag set before stays set.
  state_.setBootRenameNeeded(1);
  ASSERT_TRUE(ReplaceAtRestart(std::nullopt, "C:\\MY DIR\\A.EXE"));
  ASSERT_TRUE(ReplaceAtRestart(std::nullopt, "B:\\KRIZRST\\B.EXE"));
  EXPECT_EQ(ReadText(systemList_),
            kHeader + "NUL=B:\\KRIZRST\\B.EXE\r\n" + "NUL=\"C:\\MY DIR\\A.EXE\"\r\n" + kernelLine);
  EXPECT_EQ(BootRenameNeeded(), 1);
  EXPECT_FALSE(Exists(ownList_));
}

TEST_F(Restart9xTest, LongNamesGoToOurListAndFlagIt) {
  ASSERT_TRUE(
      ReplaceAtRestart("C:\\Program Files\\KRIZRST\\A.EXE", "C:\\Program Files\\KRIZRST\\A.EXF"));
  EXPECT_EQ(BootRenameNeeded(), 1);
  state_.setBootRenameNeeded(0);
  ASSERT_TRUE(ReplaceAtRestart(std::nullopt, "C:\\KRIZRST\\LONGNAMEFILE.EXE"));
  EXPECT_EQ(BootRenameNeeded(), 1);
  EXPECT_EQ(ReadText(ownList_), kHeader + "NUL=C:\\KRIZRST\\LONGNAMEFILE.EXE\r\n" +
                                    "\"C:\\Program Files\\KRIZRST\\A.EXE\"=" +
                                    "\"C:\\Program Files\\KRIZRST\\A.EXF\"\r\n");
  EXPECT_FALSE(Exists(systemList_));
}

TEST_F(Restart9xTest, AnExistingListKeepsItsText) {
  // Its last line has no CR LF and its section is "[Rename]": the header
  // that is looked for is not there and is joined to that line.
  const std::string before = "[Rename]\r\nC:\\KRIZRST\\X.EXE=C:\\KRIZRST\\X.EXF";
  WriteText(systemList_, before);
  ASSERT_TRUE(ReplaceAtRestart(std::nullopt, "C:\\KRIZRST\\A.EXE"));
  EXPECT_EQ(ReadText(systemList_), before + kHeader + "NUL=C:\\KRIZRST\\A.EXE\r\n");
}

TEST_F(Restart9xTest, ListsWeDoNotEditStayAsTheyAre) {
  const std::string zero = kHeader + std::string("NUL=C:\\KRIZRST\\X.EXE\0\r\n", 23);
  const std::string huge = kHeader + std::string(1 << 20, 'x');
  for (const std::string& before : {zero, huge}) {
    WriteText(systemList_, before);
    EXPECT_FALSE(ReplaceAtRestart(std::nullopt, "C:\\KRIZRST\\A.EXE"));
    EXPECT_EQ(ReadText(systemList_), before);
  }
  // A list held by another program: refused, but the boot-time program is
  // flagged as soon as its list is chosen.
  os::File held =
      os::File::Open(ownList_, os::Access::Read, os::Share::None, os::Disposition::OpenAlways);
  ASSERT_TRUE(held.IsOpen());
  EXPECT_FALSE(ReplaceAtRestart(std::nullopt, "C:\\Program Files\\KRIZRST\\A.EXE"));
  EXPECT_EQ(BootRenameNeeded(), 1);
  held.Close();
  EXPECT_EQ(ReadText(ownList_), "");
}

}  // namespace
