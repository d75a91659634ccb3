// The Windows program's switches, as a command line holds them.
#include "ui/switches.h"

#include <gtest/gtest.h>

namespace {

using ui::ParseSwitches;

TEST(SplitArguments, BlanksSeparateAndQuotesHoldBlanks) {
  const std::pair<const char*, std::vector<std::string>> cases[] = {
      {"krizclean.exe", {"krizclean.exe"}},
      {"  krizclean.exe \t /Close  ", {"krizclean.exe", "/Close"}},
      {"\"C:\\Program Files\\krizclean.exe\" /AutoStart",
       {"C:\\Program Files\\krizclean.exe", "/AutoStart"}},
      {"k.exe /Backup:\"C:\\My Backups\" \"/Backup:D:\\old files\"",
       {"k.exe", "/Backup:C:\\My Backups", "/Backup:D:\\old files"}},
      // A backslash before a quote is a path's last character, not an escape.
      {"k.exe \"/Backup:C:\\My Backups\\\" /Close",
       {"k.exe", "/Backup:C:\\My Backups\\", "/Close"}},
      {"", {}},
  };
  for (const auto& [line, arguments] : cases) {
    EXPECT_EQ(ui::SplitArguments(line), arguments) << line;
  }
}

TEST(ParseSwitches, EverySwitchInAnyLetterCase) {
  struct Case {
    const char* line;
    bool autoStart, listedPaths, close;
    std::optional<std::string> backup;
  };
  const Case cases[] = {
      {"krizclean.exe", false, false, false, std::nullopt},
      {"krizclean.exe /AutoStart /ListedPaths /Close", true, true, true, std::nullopt},
      {"krizclean.exe /autostart /LISTEDPATHS /cLoSe", true, true, true, std::nullopt},
      {"krizclean.exe /backup:D:\\bk2", false, false, false, "D:\\bk2"},
      {"krizclean.exe /BACKUP:relbk /Close", false, false, true, "relbk"},
      {"\"C:\\Program Files\\krizclean.exe\" \"/Backup:D:\\old files\" /AutoStart", true, false,
       false, "D:\\old files"},
      // The program's own path is no switch, whatever it holds.
      {"C:\\Tools\\AutoStart\\krizclean.exe", false, false, false, std::nullopt},
      {"k.exe /Backup:D:\\kept /backup:D:\\kept", false, false, false, "D:\\kept"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    ui::ParsedSwitches parsed = ParseSwitches(c.line);
    EXPECT_EQ(parsed.problem, "");
    EXPECT_EQ(parsed.switches.autoStart, c.autoStart);
    EXPECT_EQ(parsed.switches.listedPaths, c.listedPaths);
    EXPECT_EQ(parsed.switches.close, c.close);
    EXPECT_EQ(parsed.switches.backupFolder, c.backup);
  }
}

// A line the program cannot take whole is refused with words that name what
// is wrong, never taken in part.
TEST(ParseSwitches, AnythingElseIsAProblemThatNamesIt) {
  const std::pair<const char*, const char*> cases[] = {
      {"krizclean.exe /AutoStart /Clsoe",
       "Unknown switch: /Clsoe\r\n\r\nThe switches are "
       "/AutoStart, /ListedPaths, /Close and /Backup:FOLDER."},
      {"krizclean.exe /AutoStartNow", "Unknown switch: /AutoStartNow"},
      {"krizclean.exe D:\\games", "Unknown switch: D:\\games"},
      {"krizclean.exe /Backup D:\\bk", "Unknown switch: /Backup"},
      {"krizclean.exe /Backup: /Close", "The switch /Backup: needs a folder"},
      {"krizclean.exe /Backup:D:\\a /Backup:D:\\b", "The switch /Backup: is given twice"},
  };
  for (const auto& [line, problem] : cases) {
    EXPECT_EQ(ParseSwitches(line).problem.rfind(problem, 0), 0u)
        << line << ": " << ParseSwitches(line).problem;
  }
}

}  // namespace
