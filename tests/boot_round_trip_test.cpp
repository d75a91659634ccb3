// Rename lines as replacement at restart writes them into WININI32.INI,
// carried out by the assembled boot-time program under the test DOS.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "repair/rename_list.h"
#include "tests/dos/boot_sandbox.h"

namespace {

struct Request {
  std::optional<std::string> destination;  // none: delete the source
  std::string source;
};

TEST(BootRoundTrip, LinesOfTheOwnListAreCarriedOutAsWritten) {
  const std::string deep = "C:\\Program Files\\Common Files\\Kriz Test Vendor\\";
  const std::vector<Request> requests = {
      // Both names quoted.
      {"C:\\Program Files\\Kriz Test\\Application.exe",
       "C:\\Program Files\\Kriz Test\\Application.exf"},
      // Long names without blanks: neither quoted.
      {"C:\\WINDOWS\\SYSTEM\\LongLibraryName.dll", "C:\\WINDOWS\\SYSTEM\\LongLibraryName.dlm"},
      // Deletions: a quoted long name, a bare long name.
      {std::nullopt, "C:\\My Documents\\Old Setup.exe"},
      {std::nullopt, "C:\\Downloads\\InstallerWithALongName.exe"},
      // Names with "=", which a bare name would end at.
      {"C:\\TOOLS\\setup=old.exe", "C:\\TOOLS\\setup=old.exf"},
      {std::nullopt, "C:\\TOOLS\\a=b.exe"},
      // A destination as long as a name can be.
      {deep + std::string(259 - deep.size(), 'n'),
       deep + std::string(258 - deep.size(), 'n') + "o"},
  };
  dos_test::BootSandbox c;
  std::string list;
  for (const Request& request : requests) {
    if (request.destination) c.Put(*request.destination, "infected " + request.source);
    c.Put(request.source, "clean " + request.source);
    repair::RenameListEdit edit =
        repair::AddRenameLine(list, repair::RenameLine(request.destination, request.source));
    ASSERT_EQ(edit.result, repair::ListEdit::Added) << request.source;
    list = edit.text;
  }
  c.PutList(list);

  dos_test::DosRun run = c.Run();
  EXPECT_EQ(run.fault, "");
  EXPECT_TRUE(run.ended);
  for (const Request& request : requests) {
    SCOPED_TRACE(request.source);
    EXPECT_EQ(c.Contents(request.source), std::nullopt);
    if (request.destination) {
      EXPECT_EQ(c.Contents(*request.destination), "clean " + request.source);
    }
  }
  EXPECT_EQ(c.Contents(c.ListPath()), std::nullopt);
  EXPECT_EQ(c.Contents(c.programPath()), std::nullopt);
}

// The program looks for a quoted deletion's closing quote among the next 80
// characters only, so a deletion whose quoted name is longer than 79
// characters is passed over at the restart: the file stays.
TEST(BootRoundTrip, QuotedDeletionLongerThanTheProgramReaches) {
  const std::string fits = "C:\\My Documents\\" + std::string(59, 'f') + ".exe";
  const std::string tooLong = "C:\\My Documents\\" + std::string(60, 't') + ".exe";
  ASSERT_EQ(fits.size(), 79u);
  dos_test::BootSandbox c;
  c.Put(fits, "fits");
  c.Put(tooLong, "too long");
  c.PutList(std::string(repair::kRenameHeader) + repair::RenameLine(std::nullopt, fits) +
            repair::RenameLine(std::nullopt, tooLong));

  dos_test::DosRun run = c.Run();
  EXPECT_EQ(run.fault, "");
  EXPECT_EQ(c.Contents(fits), std::nullopt);
  EXPECT_EQ(c.Contents(tooLong), "too long");
}

}  // namespace
