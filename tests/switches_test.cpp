// The Windows program's switches with a value, as a command line holds them.
#include "ui/switches.h"

#include <gtest/gtest.h>

namespace {

TEST(SwitchValue, BareQuotedAndMissing) {
  const std::pair<const char*, std::optional<std::string>> cases[] = {
      {"krizclean.exe /AutoStart /Backup:C:\\KEPT /Close", "C:\\KEPT"},
      {"krizclean.exe /Backup:C:\\KEPT", "C:\\KEPT"},
      {"krizclean.exe /Backup:\"C:\\My Backups\" /Close", "C:\\My Backups"},
      {"\"C:\\Program Files\\krizclean.exe\" \"/Backup:D:\\old files\" /AutoStart",
       "D:\\old files"},
      {"krizclean.exe /AutoStart", std::nullopt},
      {"krizclean.exe /Backup: /Close", std::nullopt},
      {"krizclean.exe /Backup:", std::nullopt},
  };
  for (const auto& [line, value] : cases) {
    EXPECT_EQ(ui::SwitchValue(line, "/Backup:"), value) << line;
  }
}

}  // namespace
