// Installing the boot-time rename program at the end of a scan: under Wine
// the program file lands in the Windows directory and is registered to run
// once; without a Windows directory or registry (POSIX) the installer fails
// the way it fails on Windows, with its message and a stop.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "os/restart.h"
#include "repair/boot/boot_program.h"
#include "repair/boot_installer.h"
#include "scan/scan.h"
#include "tests/support/file_bytes.h"
#include "tests/support/temp_dir.h"

namespace {

namespace fs = std::filesystem;

struct Message {
  std::string text;
  std::string caption;
};
class BootInstaller : public ::testing::Test {
 protected:
  BootInstaller() {
    scan_.seams().message = [this](const char* text, const char* caption) {
      messages_.push_back({text, caption});
    };
  }
  scan::ScanState& state() { return scan_.state(); }
  int Install() { return repair::InstallBootRenameProgram(scan_); }

  void ExpectFailureMessage() {
    ASSERT_EQ(messages_.size(), 1u);
    EXPECT_EQ(messages_[0].text,
              "A system error occurred while setting up the system for finalizing the "
              "disinfection at reboot");
    EXPECT_EQ(messages_[0].caption, "WININI32.COM creation error");
  }

  std::vector<Message> messages_;
  scan::Scan scan_;
};

#ifdef _WIN32

const std::string kKey = "\"HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\RunServicesOnce\"";

std::string ProgramPath() { return os::WindowsDirectory() + "\\PUI.COM"; }

// reg.exe, which Wine has too, through the command interpreter.
int Reg(const std::string& arguments) {
  return std::system(("reg " + arguments + " >NUL 2>&1").c_str());
}

// The line of `reg query` that shows the value Winini32, or empty.
std::string RegisteredValue(const test_support::TempDir& dir) {
  std::string output = dir.File("query.txt");
  std::system(("reg query " + kKey + " /v Winini32 >\"" + output + "\" 2>NUL").c_str());
  std::ifstream in(output);
  for (std::string line; std::getline(in, line);) {
    if (line.find("Winini32") != std::string::npos) return line;
  }
  return std::string();
}

TEST_F(BootInstaller, NothingWhenNoLongNameWasListed) {
  test_support::TempDir dir;
  ASSERT_EQ(Reg("add " + kKey + " /f"), 0);
  Reg("delete " + kKey + " /v Winini32 /f");
  fs::remove(ProgramPath());

  EXPECT_EQ(Install(), 1);
  EXPECT_TRUE(messages_.empty());
  EXPECT_FALSE(fs::exists(ProgramPath()));
  EXPECT_EQ(RegisteredValue(dir), "");
}

TEST_F(BootInstaller, WritesTheProgramAndRegistersIt) {
  test_support::TempDir dir;
  ASSERT_EQ(Reg("add " + kKey + " /f"), 0);
  test_support::WriteBytes(ProgramPath(),
                           std::vector<uint8_t>(4096, 0xCC));  // an older, longer one
  state().setBootRenameNeeded(1);

  EXPECT_EQ(Install(), 1);
  EXPECT_TRUE(messages_.empty());
  std::span<const uint8_t> image = repair::BootRenameProgramImage();
  EXPECT_EQ(test_support::ReadBytes(ProgramPath()),
            std::vector<uint8_t>(image.begin(), image.end()));
  std::string value = RegisteredValue(dir);
  EXPECT_NE(value.find("REG_SZ"), std::string::npos) << value;
  EXPECT_NE(value.find(ProgramPath()), std::string::npos) << value;
  EXPECT_EQ(state().bootRenameNeeded(), 1);
}

TEST_F(BootInstaller, MissingKeyStopsWithTheMessageAndKeepsTheFile) {
  Reg("delete " + kKey + " /f");
  fs::remove(ProgramPath());
  state().setBootRenameNeeded(1);

  EXPECT_EQ(Install(), 0);
  ExpectFailureMessage();
  EXPECT_TRUE(fs::exists(ProgramPath()));
  EXPECT_EQ(Reg("query " + kKey), 1);  // the key is never created
  ASSERT_EQ(Reg("add " + kKey + " /f"), 0);
}

TEST_F(BootInstaller, FileThatCannotBeCreatedStopsWithTheMessage) {
  ASSERT_EQ(Reg("add " + kKey + " /f"), 0);
  fs::remove(ProgramPath());
  fs::create_directory(ProgramPath());  // a folder takes the program's name
  state().setBootRenameNeeded(1);

  EXPECT_EQ(Install(), 0);
  ExpectFailureMessage();
  EXPECT_TRUE(fs::is_directory(ProgramPath()));
  fs::remove(ProgramPath());
}

#else

TEST_F(BootInstaller, NothingWhenNoLongNameWasListed) {
  EXPECT_EQ(Install(), 1);
  EXPECT_TRUE(messages_.empty());
}

// No Windows directory and no registry: the program is written nowhere.
TEST_F(BootInstaller, WithoutWindowsItStopsWithTheMessage) {
  test_support::TempDir dir;
  fs::path before = fs::current_path();
  fs::current_path(dir.path());
  state().setBootRenameNeeded(1);
  int answer = Install();
  fs::current_path(before);

  EXPECT_EQ(answer, 0);
  ExpectFailureMessage();
  EXPECT_TRUE(fs::is_empty(dir.path()));
}

#endif

}  // namespace
