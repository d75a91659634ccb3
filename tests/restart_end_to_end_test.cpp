// A file in use is cleaned as a copy that takes its place at the next start,
// and that start really happens: tests/restart_end_to_end.sh runs this program
// with KRIZ_RESTART_PHASE=schedule, restarts the Wine prefix (which carries out
// WININIT.INI on Windows 98 and the delayed moves on NT), then runs it again
// with KRIZ_RESTART_PHASE=verify.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "engine/virus_body.h"
#include "os/file.h"
#include "repair/restart.h"
#include "scan/handle_object.h"
#include "scan/outcome.h"
#include "scan/scan_state.h"
#include "tests/support/file_bytes.h"
#include "tests/support/specimens.h"

namespace {

using test_support::ReadBytes;
using test_support::WriteBytes;

// Short names throughout, so that Windows 98 takes the system's own list,
// which Wine carries out (our own list needs the DOS program).
const std::string kDir = "C:\\KRIZE2E";
const std::string kProgram = kDir + "\\PROG.EXE";
const std::string kLibrary = kDir + "\\KERNEL32.DLL";
const std::string kDoomed = kDir + "\\GONE.EXE";

struct Replaced {
  std::string path;
  std::string copy;      // the cleaned copy beside it
  std::string expected;  // where the schedule phase keeps the copy's bytes
};
const Replaced kReplaced[] = {
    {kProgram, kDir + "\\PROG.EXF", kDir + "\\PROG.EXP"},
    {kLibrary, kDir + "\\KERNEL32.DLM", kDir + "\\KERNEL32.EXP"},
};

// On NT, a program named outside the ANSI code page (UTF-8 here, as the
// program's names are on NT): its delayed move takes the wide names.
const std::string kWide = kDir + "\\\xD0\xB7\xD0\xB0\xD1\x80\xD0\xB0\xD0\xB6\xD1\x91\xD0\xBD.exe";
const std::string kWideCopy =
    kDir + "\\\xD0\xB7\xD0\xB0\xD1\x80\xD0\xB0\xD0\xB6\xD1\x91\xD0\xBD.exf";
const std::string kWideExpected = kDir + "\\WIDE.EXP";

// Whole files by the program's own names (std::filesystem would take them
// in the ANSI code page).
std::optional<std::vector<uint8_t>> ReadByName(const std::string& path) {
  os::File file =
      os::File::Open(path, os::Access::Read, os::Share::ReadWrite, os::Disposition::OpenExisting);
  std::optional<uint64_t> size = file.IsOpen() ? file.Size() : std::nullopt;
  if (!size) return std::nullopt;
  std::vector<uint8_t> bytes(static_cast<size_t>(*size));
  if (file.ReadAt(0, bytes.data(), static_cast<uint32_t>(bytes.size())) != bytes.size()) {
    return std::nullopt;
  }
  return bytes;
}

void WriteByName(const std::string& path, const std::vector<uint8_t>& bytes) {
  os::File file =
      os::File::Open(path, os::Access::ReadWrite, os::Share::None, os::Disposition::CreateAlways);
  ASSERT_TRUE(file.IsOpen()) << path;
  ASSERT_EQ(file.WriteAt(0, bytes.data(), static_cast<uint32_t>(bytes.size())), bytes.size());
}

std::string Phase() {
  const char* phase = std::getenv("KRIZ_RESTART_PHASE");
  return phase != nullptr ? phase : "";
}

// HandleObject on `path` while another handle holds it without sharing
// writes, as a running program holds its file.
scan::ScanOutcome CleanWhileInUse(const std::string& path) {
  scan::ScanOutcome outcome = scan::ScanOutcome::Ok;
  scan::ScanSeams seams;
  seams.statusSink = [&outcome](std::string_view, scan::ScanOutcome recorded, scan::ObjectKind) {
    outcome = recorded;
  };
  seams.replaceAtRestart = repair::ReplaceAtRestart;
  scan::Scan scan(std::move(seams));
  scan.state().setActionMode(scan::ActionMode::Clean);
  os::File inUse =
      os::File::Open(path, os::Access::Read, os::Share::Read, os::Disposition::OpenExisting);
  EXPECT_TRUE(inUse.IsOpen());
  scan::ScanState& state = scan.state();
  EXPECT_TRUE(scan::SetPath(state.objectPath, path));
  EXPECT_TRUE(scan::SetPath(state.objectShortPath, path));
  EXPECT_EQ(scan::HandleObject(scan), 1);
  return outcome;
}

bool IsInfected(const std::string& path) {
  os::File file =
      os::File::Open(path, os::Access::Read, os::Share::ReadWrite, os::Disposition::OpenExisting);
  return file.IsOpen() && engine::IsInfected(file);
}

TEST(RestartEndToEnd, Schedule) {
  if (Phase() != "schedule") GTEST_SKIP() << "phase " << Phase();
  std::filesystem::remove_all(kDir);
  std::filesystem::create_directories(kDir);
  WriteBytes(kProgram, test_support::InfectOrFail(test_support::SmallProgram(0x1234)).bytes);
  WriteBytes(kLibrary, test_support::InfectOrFail(test_support::KernelLibrary()).bytes);
  WriteBytes(kDoomed, {'M', 'Z'});

  for (const Replaced& r : kReplaced) {
    ASSERT_TRUE(IsInfected(r.path));
    EXPECT_EQ(CleanWhileInUse(r.path), scan::ScanOutcome::DisinfectAtReboot) << r.path;
    ASSERT_TRUE(std::filesystem::exists(r.copy)) << r.copy;
    EXPECT_FALSE(IsInfected(r.copy));
    WriteBytes(r.expected, ReadBytes(r.copy));
    EXPECT_TRUE(IsInfected(r.path));  // not before the restart
  }
  if (repair::IsWindowsNt()) {
    WriteByName(kWide, test_support::InfectOrFail(test_support::SmallProgram(0x77)).bytes);
    ASSERT_TRUE(IsInfected(kWide));
    EXPECT_EQ(CleanWhileInUse(kWide), scan::ScanOutcome::DisinfectAtReboot);
    std::optional<std::vector<uint8_t>> copy = ReadByName(kWideCopy);
    ASSERT_TRUE(copy.has_value()) << "no cleaned copy of the wide name";
    WriteByName(kWideExpected, *copy);
    EXPECT_TRUE(IsInfected(kWide));
  }
  scan::ScanState state;
  EXPECT_TRUE(repair::ReplaceAtRestart(state, std::nullopt, kDoomed));
  EXPECT_EQ(state.bootRenameNeeded(), 0);
}

TEST(RestartEndToEnd, Verify) {
  if (Phase() != "verify") GTEST_SKIP() << "phase " << Phase();
  for (const Replaced& r : kReplaced) {
    EXPECT_FALSE(std::filesystem::exists(r.copy)) << r.copy;
    EXPECT_EQ(ReadBytes(r.path), ReadBytes(r.expected)) << r.path;
    EXPECT_FALSE(IsInfected(r.path)) << r.path;
  }
  EXPECT_FALSE(std::filesystem::exists(kDoomed));
  if (repair::IsWindowsNt()) {
    EXPECT_FALSE(ReadByName(kWideCopy).has_value()) << "the wide name's copy is left";
    EXPECT_EQ(ReadByName(kWide), ReadByName(kWideExpected));
    EXPECT_FALSE(IsInfected(kWide));
  }
  std::filesystem::remove_all(kDir);
}

}  // namespace
