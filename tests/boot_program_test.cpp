// The boot-time rename program, the real assembled image, run under the test
// DOS on a sandbox drive C: each test checks the drive's files afterwards.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/dos/boot_sandbox.h"

namespace {

using dos_test::BootSandbox;
using dos_test::DosRun;

const std::string kHeader = "[rename]\r\n";

// A run that ended by itself, with nothing a DOS program may not do.
void ExpectCleanEnd(const DosRun& run) {
  EXPECT_EQ(run.fault, "");
  EXPECT_TRUE(run.ended);
}

TEST(BootProgram, CarriesOutEachFormOfLine) {
  BootSandbox c;
  const std::string del79 = "C:\\Long Folder Name\\" + std::string(55, 'd') + ".EXE";
  ASSERT_EQ(del79.size(), 79u);
  c.Put("C:\\Program Files\\A.EXE", "old A");
  c.Put("C:\\Program Files\\A.EXF", "new A");
  c.Put("C:\\WINDOWS\\SYSTEM\\LongLibrary.dll", "old L");
  c.Put("C:\\WINDOWS\\SYSTEM\\LongLibrary.dlm", "new L");
  c.Put("C:\\OLD\\GONE.EXE", "gone");
  c.Put(del79, "gone too", /*readOnly=*/true);
  c.Put("C:\\LOWER.EXE", "lower");
  c.Put("C:\\B.EXE", "b");
  c.Put("C:\\B.EXF", "b copy");
  c.MakeDirectory("C:\\ADIR");
  c.Put("C:\\DIRSRC.EXE", "stays");
  c.Put("C:\\LAST.EXF", "last");
  c.PutList(kHeader +
            "\"C:\\Program Files\\A.EXE\"=\"C:\\Program Files\\A.EXF\"\r\n"
            "C:\\WINDOWS\\SYSTEM\\LongLibrary.dll=C:\\WINDOWS\\SYSTEM\\LongLibrary.dlm\r\n"
            "NUL=C:\\OLD\\GONE.EXE\r\n"
            "NUL=\"" +
            del79 +
            "\"\r\n"
            // Lower case is no deletion: a rename to "nul" in the current
            // directory, the program's own.
            "nul=C:\\LOWER.EXE\r\n"
            // The quotes stay part of a source after a bare destination: no
            // such file, the line is passed over.
            "C:\\B.EXE=\"C:\\B.EXF\"\r\n"
            "C:\\MISSING.NEW=C:\\MISSING.OLD\r\n"
            // A destination that cannot be deleted: passed over.
            "C:\\ADIR=C:\\DIRSRC.EXE\r\n"
            "C:\\LAST.EXE=C:\\LAST.EXF\r\n");

  DosRun run = c.Run();
  ExpectCleanEnd(run);
  EXPECT_EQ(c.Contents("C:\\Program Files\\A.EXE"), "new A");
  EXPECT_EQ(c.Contents("C:\\Program Files\\A.EXF"), std::nullopt);
  EXPECT_EQ(c.Contents("C:\\WINDOWS\\SYSTEM\\LongLibrary.dll"), "new L");
  EXPECT_EQ(c.Contents("C:\\WINDOWS\\SYSTEM\\LongLibrary.dlm"), std::nullopt);
  EXPECT_EQ(c.Contents("C:\\OLD\\GONE.EXE"), std::nullopt);
  EXPECT_EQ(c.Contents(del79), std::nullopt);
  EXPECT_EQ(c.Contents("C:\\LOWER.EXE"), std::nullopt);
  EXPECT_EQ(c.Contents("C:\\WINDOWS\\nul"), "lower");
  EXPECT_EQ(c.Contents("C:\\B.EXE"), "b");
  EXPECT_EQ(c.Contents("C:\\B.EXF"), "b copy");
  EXPECT_EQ(c.Contents("C:\\DIRSRC.EXE"), "stays");
  EXPECT_EQ(c.Contents("C:\\LAST.EXE"), "last");
  EXPECT_EQ(c.Contents(c.ListPath()), std::nullopt);
  EXPECT_EQ(c.Contents(c.programPath()), std::nullopt);
}

// DOS answers a rename onto an existing name with 5 or 183, by version.
class BootProgramExistingDestination : public ::testing::TestWithParam<uint16_t> {};

TEST_P(BootProgramExistingDestination, ReadOnlyDestinationIsMadeNormalDeletedAndReplaced) {
  BootSandbox c;
  c.setup().renameOntoExistingError = GetParam();
  const std::string destination = "C:\\Program Files\\A.EXE";
  const std::string source = "C:\\Program Files\\A.EXF";
  c.Put(destination, "infected", /*readOnly=*/true);
  c.Put(source, "clean");
  c.PutList(kHeader + "\"" + destination + "\"=\"" + source + "\"\r\n");

  DosRun run = c.Run();
  ExpectCleanEnd(run);
  EXPECT_EQ(c.Contents(destination), "clean");
  EXPECT_FALSE(c.IsReadOnly(destination));
  EXPECT_EQ(c.Contents(source), std::nullopt);
  // Rename, refused; attributes to normal; delete; rename again.
  std::vector<std::pair<uint16_t, uint16_t>> lineCalls;
  for (const auto& call : run.calls) {
    if (call.ax >= 0x7100) lineCalls.emplace_back(call.ax, call.error);
  }
  EXPECT_EQ(lineCalls, (std::vector<std::pair<uint16_t, uint16_t>>{
                           {0x7156, GetParam()}, {0x7143, 0}, {0x7141, 0}, {0x7156, 0}}));
}

INSTANTIATE_TEST_SUITE_P(DosAnswers, BootProgramExistingDestination,
                         ::testing::Values(uint16_t{5}, uint16_t{183}));

// The line before a line that ends the run is carried out; that line and
// every later one are not; the list and the program are deleted all the same.
TEST(BootProgram, AMalformedLineEndsTheRun) {
  struct Case {
    const char* what;
    std::string line;  // with its own line end, where it has one
  };
  const std::vector<Case> cases = {
      {"quoted destination, bare source", "\"C:\\NOT NEW.EXE\"=C:\\NOT.OLD\r\n"},
      {"quoted destination, blank before =", "\"C:\\NOT NEW.EXE\" =\"C:\\NOT.OLD\"\r\n"},
      {"quoted destination never closed", "\"C:\\NOT NEW.EXE=C:\\NOT.OLD\r\n"},
      {"quoted source never closed", "\"C:\\NOT NEW.EXE\"=\"C:\\NOT.OLD\r\n"},
      {"no equals sign", "C:\\NOT.NEW C:\\NOT.OLD\r\n"},
      {"empty line", "\r\n"},
      {"next section", "[other]\r\n"},
      {"next section, name with =", "[C:\\NOT.NEW=C:\\NOT.OLD\r\n"},
      // A zero byte would cut a name short: "C:\KEEP.DLL" deleted.
      {"zero byte", std::string("NUL=C:\\KEEP.DLL\0.BAK\r\n", 22)},
      {"zero byte in a quoted name", std::string("NUL=\"C:\\KEEP.DLL\0 X\"\r\n", 22)},
      // A CR without LF would make the next line start one byte late: the
      // rename of KEEP.DLL to "XNUL" read as its deletion.
      {"CR without LF", "C:\\NOT.NEW=C:\\NOT.OLD\rXNUL=C:\\KEEP.DLL\r\n"},
      {"CR at the end of the list", "C:\\NOT.NEW=C:\\NOT.OLD\r"},
      {"no CR at the end of the list", "C:\\NOT.NEW=C:\\NOT.OLD"},
  };
  for (const Case& test : cases) {
    SCOPED_TRACE(test.what);
    BootSandbox c;
    c.Put("C:\\DONE.OLD", "done");
    c.Put("C:\\NOT.OLD", "not");
    c.Put("C:\\AFTER.OLD", "after");
    c.Put("C:\\KEEP.DLL", "keep");
    c.PutList(kHeader + "C:\\DONE.NEW=C:\\DONE.OLD\r\n" + test.line +
              "C:\\AFTER.NEW=C:\\AFTER.OLD\r\n");

    DosRun run = c.Run();
    ExpectCleanEnd(run);
    EXPECT_EQ(c.Contents("C:\\DONE.NEW"), "done");
    EXPECT_EQ(c.Contents("C:\\NOT.OLD"), "not");
    EXPECT_EQ(c.Contents("C:\\AFTER.OLD"), "after");
    EXPECT_EQ(c.Contents("C:\\KEEP.DLL"), "keep");
    EXPECT_EQ(c.Contents(c.ListPath()), std::nullopt);
    EXPECT_EQ(c.Contents(c.programPath()), std::nullopt);
  }
}

TEST(BootProgram, ListsThatCarryNothingOut) {
  struct Case {
    const char* what;
    std::optional<std::string> list;
  };
  const std::string line = "C:\\NOT.NEW=C:\\NOT.OLD\r\n";
  const std::vector<Case> cases = {
      {"only the header", kHeader},
      {"empty", ""},
      {"a header cut short", "[rename]\r"},
      {"another section first", "[other]\r\n" + kHeader + line},
      {"a line before the header", line + kHeader + line},
      {"the header in other case", "[Rename]\r\n" + line},
      {"no list", std::nullopt},
  };
  for (const Case& test : cases) {
    SCOPED_TRACE(test.what);
    BootSandbox c;
    c.Put("C:\\NOT.OLD", "not");
    if (test.list) c.PutList(*test.list);

    DosRun run = c.Run();
    ExpectCleanEnd(run);
    EXPECT_EQ(c.Contents("C:\\NOT.OLD"), "not");
    EXPECT_EQ(c.Contents("C:\\NOT.NEW"), std::nullopt);
    EXPECT_EQ(c.Contents(c.ListPath()), std::nullopt);
    EXPECT_EQ(c.Contents(c.programPath()), std::nullopt);
  }
}

// Only the next 80 characters are searched for a quoted "NUL" source's
// closing quote. A line whose quote lies further, or is missing, is passed
// over: deleting by the characters up to where the search stopped would hit
// a file the line does not name.
TEST(BootProgram, DeletionWhoseQuoteIsOutOfReachIsPassedOver) {
  BootSandbox c;
  const std::string name80 = "C:\\Long Folder Name\\" + std::string(56, 'e') + ".EXE";
  ASSERT_EQ(name80.size(), 80u);
  const std::string name79 = name80.substr(0, 79);
  c.Put(name80, "80");
  c.Put(name79, "79");
  c.Put("C:\\KEEP.DLL", "keep");
  c.Put("C:\\AFTER.OLD", "after");
  c.PutList(kHeader + "NUL=\"" + name80 + "\"\r\n" +  //
            "NUL=\"C:\\KEEP.DLL\r\n" +                // never closed
            "C:\\AFTER.NEW=C:\\AFTER.OLD\r\n");

  DosRun run = c.Run();
  ExpectCleanEnd(run);
  EXPECT_EQ(c.Contents(name80), "80");
  EXPECT_EQ(c.Contents(name79), "79");
  EXPECT_EQ(c.Contents("C:\\KEEP.DLL"), "keep");
  EXPECT_EQ(c.Contents("C:\\AFTER.NEW"), "after");  // passed over, not the end
  for (const auto& call : run.calls) EXPECT_NE(call.ax, 0x7141) << call.name;
}

// "C:\PUI.COM" cut at its backslash leaves "C:", which names the drive's
// current directory rather than its root: the program must enter "C:\".
TEST(BootProgram, ProgramInTheRootOfADrive) {
  BootSandbox c("C:\\PUI.COM");
  c.setup().currentDirectory = "\\WINDOWS";
  c.Put("C:\\A.OLD", "a");
  c.Put("C:\\B.OLD", "b");
  c.PutList(kHeader + "C:\\A.NEW=C:\\A.OLD\r\n");
  const std::string otherList = kHeader + "C:\\B.NEW=C:\\B.OLD\r\n";
  c.Put("C:\\WINDOWS\\WININI32.INI", otherList);

  DosRun run = c.Run();
  ExpectCleanEnd(run);
  EXPECT_EQ(c.Contents("C:\\A.NEW"), "a");
  EXPECT_EQ(c.Contents("C:\\B.OLD"), "b");
  EXPECT_EQ(c.Contents("C:\\WINDOWS\\WININI32.INI"), otherList);
  EXPECT_EQ(c.Contents("C:\\WININI32.INI"), std::nullopt);
  EXPECT_EQ(c.Contents("C:\\PUI.COM"), std::nullopt);
}

// The program's own path comes from its environment, which is read below
// 32 KiB only. Without a path, a backslash in it, or its directory, the
// program ends at once: nothing is deleted, not even itself.
TEST(BootProgram, FindsItsOwnPathInTheEnvironment) {
  const std::string path = "C:\\WINDOWS\\PUI.COM";
  // One variable long enough to put the path's zero at `zeroAt`.
  auto environmentWithPathZeroAt = [&](size_t zeroAt) {
    size_t fixed = 2 + 1 + 1 + 2 + path.size();  // "X=", its zero, the end zero, count, path
    return dos_test::EnvironmentBlock({"X=" + std::string(zeroAt - fixed, 'v')}, path);
  };
  std::vector<uint8_t> noEnd(0x9000, 'v');  // no double zero below the bound
  noEnd[0x8FFF] = 0;

  struct Case {
    const char* what;
    std::vector<uint8_t> environment;
    bool carriedOut;
  };
  const std::vector<Case> cases = {
      {"path ends just below 32 KiB", environmentWithPathZeroAt(0x7FFF), true},
      {"path ends at 32 KiB", environmentWithPathZeroAt(0x8000), false},
      {"no end of the variables", noEnd, false},
      {"no backslash", dos_test::EnvironmentBlock({"A=B"}, "PUI.COM"), false},
      {"no such directory", dos_test::EnvironmentBlock({"A=B"}, "C:\\NOWHERE\\PUI.COM"), false},
      {"no such drive", dos_test::EnvironmentBlock({"A=B"}, "D:\\WINDOWS\\PUI.COM"), false},
  };
  for (const Case& test : cases) {
    SCOPED_TRACE(test.what);
    BootSandbox c(path);
    c.setup().environment = test.environment;
    c.Put("C:\\A.OLD", "a");
    const std::string list = kHeader + "C:\\A.NEW=C:\\A.OLD\r\n";
    c.PutList(list);

    DosRun run = c.Run();
    ExpectCleanEnd(run);
    if (test.carriedOut) {
      EXPECT_EQ(c.Contents("C:\\A.NEW"), "a");
      EXPECT_EQ(c.Contents(c.ListPath()), std::nullopt);
      EXPECT_EQ(c.Contents(path), std::nullopt);
    } else {
      EXPECT_EQ(c.Contents("C:\\A.OLD"), "a");
      EXPECT_EQ(c.Contents(c.ListPath()), list);
      EXPECT_TRUE(c.Contents(path).has_value());
      for (const auto& call : run.calls) EXPECT_TRUE(call.ax == 0x4C00 || call.ax >> 8 == 0x3B);
    }
  }
}

}  // namespace
