// The text of a restart request: the rename line, the choice between the
// system's list and our own, and the edit of a list's text.
#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "repair/rename_list.h"

namespace {

using repair::AddRenameLine;
using repair::ListEdit;
using repair::NeedsLongNameList;
using repair::RenameLine;

struct Request {
  std::optional<std::string> destination;
  std::string source;
  std::string line;  // the rename line expected
  bool longList;     // whether it goes to WININI32.INI
};

TEST(RenameLine, LineAndListForEachRequest) {
  const Request requests[] = {
      {"C:\\WINDOWS\\SYSTEM\\KERNEL32.DLL", "C:\\WINDOWS\\SYSTEM\\KERNEL32.DLM",
       "C:\\WINDOWS\\SYSTEM\\KERNEL32.DLL=C:\\WINDOWS\\SYSTEM\\KERNEL32.DLM\r\n", false},
      {std::nullopt, "C:\\DIR\\A.EXE", "NUL=C:\\DIR\\A.EXE\r\n", false},
      // A blank in the source alone quotes it and keeps the system's list.
      {std::nullopt, "C:\\MY DIR\\A.EXE", "NUL=\"C:\\MY DIR\\A.EXE\"\r\n", false},
      {"C:\\Program Files\\A.EXE", "C:\\Program Files\\A.EXF",
       "\"C:\\Program Files\\A.EXE\"=\"C:\\Program Files\\A.EXF\"\r\n", true},
      // A long component without a blank: our list, nothing quoted.
      {"C:\\LONGNAMEDIR\\A.EXE", "C:\\LONGNAMEDIR\\A.EXF",
       "C:\\LONGNAMEDIR\\A.EXE=C:\\LONGNAMEDIR\\A.EXF\r\n", true},
      // A destination with a blank takes our list even when the source is
      // short, and quotes the source too: the boot-time program stops at a
      // quoted destination before a bare source, and drops every line after.
      {"C:\\A B.EXE", "C:\\AB.EXF", "\"C:\\A B.EXE\"=\"C:\\AB.EXF\"\r\n", true},
      {"C:\\AB.EXE", "C:\\A B.EXF", "C:\\AB.EXE=\"C:\\A B.EXF\"\r\n", false},
      // Only the source's components are measured.
      {"C:\\LONGNAMEDIR\\A.EXE", "C:\\A.EXF", "C:\\LONGNAMEDIR\\A.EXE=C:\\A.EXF\r\n", false},
      // An "=" in a name quotes both names and takes our list, however
      // short: a bare name ends at the first "=".
      {"C:\\TOOLS\\A=B.EXE", "C:\\TOOLS\\A=B.EXF",
       "\"C:\\TOOLS\\A=B.EXE\"=\"C:\\TOOLS\\A=B.EXF\"\r\n", true},
      {"C:\\TOOLS\\AB.EX=", "C:\\TOOLS\\AB.EX>", "\"C:\\TOOLS\\AB.EX=\"=\"C:\\TOOLS\\AB.EX>\"\r\n",
       true},
      {std::nullopt, "C:\\A=B.EXE", "NUL=\"C:\\A=B.EXE\"\r\n", true},
  };
  for (const Request& r : requests) {
    EXPECT_EQ(RenameLine(r.destination, r.source), r.line) << r.source;
    EXPECT_EQ(NeedsLongNameList(r.destination, r.source), r.longList) << r.source;
  }
}

TEST(RenameLine, ShortNameTestMeasuresEveryComponent) {
  const std::pair<const char*, bool> sources[] = {
      {"C:\\A.B.C", false},  // name "A", extension ".B.C": four characters
      {"C:\\A.B.CD", true},
      {"C:\\ABCDEFGH.EXE", false},
      {"C:\\ABCDEFGHI.EXE", true},
      {"C:\\A.HTML", true},
      {"C:\\.EXE", false},
      {"C:\\", false},  // one empty component
      {"C:\\ABCDEFGH", false},
      {"C:\\ABCDEFGHI", true},
      {"C:\\DIR\\\\A.EXE", false},  // an empty component in the middle passes
      {"C:\\ABCDEFGHI\\A.EXE", true},
      {"C:\\DIR\\ABCDEFGHI", true},  // the last component counts too
      {"C:\\DIR.LONG\\A.EXE", true},
      {"C:\\DIR\\", false},
  };
  for (const auto& [source, longList] : sources) {
    EXPECT_EQ(NeedsLongNameList(std::nullopt, source), longList) << source;
  }
}

TEST(RenameLine, TheBootProgramCarriesOutQuotedDeletionsOfUpTo79Characters) {
  const std::string dir = "C:\\LONG FOLDER NAME\\";
  std::string fits = dir + std::string(79 - dir.size(), 'A');
  std::string tooLong = fits + "B";
  EXPECT_TRUE(repair::BootProgramCarriesOut(std::nullopt, fits));
  EXPECT_FALSE(repair::BootProgramCarriesOut(std::nullopt, tooLong));
  // Renames and bare sources have no such bound.
  EXPECT_TRUE(repair::BootProgramCarriesOut(tooLong, tooLong + "X"));
  EXPECT_TRUE(repair::BootProgramCarriesOut(std::nullopt, "C:\\" + std::string(200, 'A')));
}

struct Edit {
  const char* name;
  std::string text;  // the list before
  std::string line;
  ListEdit result;
  std::string after;  // the list after, when Added
};

TEST(AddRenameLine, EditsOfAListText) {
  const std::string h = "[rename]\r\n";
  const std::string a = "C:\\A.EXE=C:\\A.EXF\r\n";
  const std::string b = "NUL=C:\\B.EXE\r\n";
  const Edit edits[] = {
      {"new list", "", a, ListEdit::Added, h + a},
      {"same line again", h + a, a, ListEdit::AlreadyListed, ""},
      {"newest first", h + a, b, ListEdit::Added, h + b + a},
      {"other sections stay", "[boot]\r\nx=1\r\n" + h + a + "[last]\r\ny=2\r\n", b, ListEdit::Added,
       "[boot]\r\nx=1\r\n" + h + b + a + "[last]\r\ny=2\r\n"},
      {"header is case-sensitive", "[Rename]\r\n" + a, b, ListEdit::Added,
       "[Rename]\r\n" + a + h + b},
      {"header joined to a last line without CR LF", "[boot]\r\nx=1", a, ListEdit::Added,
       "[boot]\r\nx=1" + h + a},
      {"header found inside a line", "x=1[rename]\r\n" + b, a, ListEdit::Added,
       "x=1[rename]\r\n" + a + b},
      {"first header wins", h + b + h, a, ListEdit::Added, h + a + b + h},
      {"header without CR LF is no header", "[rename]", a, ListEdit::Added, "[rename]" + h + a},
      // The duplicate test covers the text before the header as well, up to
      // the first "[" after it.
      {"line before the header counts", "[old]\r\n" + a + h, a, ListEdit::AlreadyListed, ""},
      {"line in a later section does not", h + "[old]\r\n" + a, a, ListEdit::Added,
       h + a + "[old]\r\n" + a},
      {"line without a header counts", a, a, ListEdit::AlreadyListed, ""},
      // The first "[" after the header ends the search, even one inside the
      // line itself: such a line is added again (a second run of it at the
      // restart finds nothing left to do).
      {"a name with [", h + "C:\\[1]\\A=C:\\[1]\\B\r\n", "C:\\[1]\\A=C:\\[1]\\B\r\n",
       ListEdit::Added, h + "C:\\[1]\\A=C:\\[1]\\B\r\nC:\\[1]\\A=C:\\[1]\\B\r\n"},
      // A match that would run on into an appended header is no line of the
      // file: "C:\A=C:\" + "[rename]\r\n".
      {"no match across the appended header", "C:\\A=C:\\", "C:\\A=C:\\[rename]\r\n",
       ListEdit::Added, "C:\\A=C:\\" + h + "C:\\A=C:\\[rename]\r\n"},
      {"a zero byte: no text list", h + std::string(1, '\0') + a, b, ListEdit::Refused, ""},
      {"line without CR LF", h, "NUL=C:\\B.EXE", ListEdit::Refused, ""},
      {"line without =", h, "C:\\B.EXE\r\n", ListEdit::Refused, ""},
      {"two lines in one", h, a + b, ListEdit::Refused, ""},
      {"empty line", h, "", ListEdit::Refused, ""},
  };
  for (const Edit& e : edits) {
    repair::RenameListEdit edit = AddRenameLine(e.text, e.line);
    EXPECT_EQ(edit.result, e.result) << e.name;
    EXPECT_EQ(edit.text, e.after) << e.name;
  }
}

TEST(AddRenameLine, SizeLimits) {
  const std::string h = "[rename]\r\n";
  const std::string body(repair::kMaxRenameLineLength - 3, 'x');
  EXPECT_EQ(AddRenameLine(h, body + "=\r\n").result, ListEdit::Added);
  EXPECT_EQ(AddRenameLine(h, body + "x=\r\n").result, ListEdit::Refused);

  std::string full = h + std::string(repair::kMaxRenameListSize - h.size(), 'x');
  EXPECT_EQ(AddRenameLine(full, "NUL=C:\\B.EXE\r\n").result, ListEdit::Added);
  full += 'x';
  EXPECT_EQ(AddRenameLine(full, "NUL=C:\\B.EXE\r\n").result, ListEdit::Refused);

  // The longest names make a line the list takes.
  std::string name = "C:\\" + std::string(repair::kMaxNameLength - 3, 'a');
  name[10] = ' ';
  std::string line = RenameLine(name, name);
  EXPECT_EQ(line.size(), repair::kMaxRenameLineLength);
  EXPECT_EQ(AddRenameLine("", line).result, ListEdit::Added);
}

}  // namespace
