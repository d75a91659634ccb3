// Paths shortened in the middle for one line of the window, measured here
// one unit a character.
#include "ui/shorten_path.h"

#include <gtest/gtest.h>

#include <string>

namespace {

int Characters(std::string_view text) { return static_cast<int>(ui::Utf8Starts(text).size()); }

std::string Shorten(const std::string& path, int width) {
  return ui::ShortenPath(path, width, Characters);
}

TEST(ShortenPath, KeepsTheDriveTheFirstFolderAndTheNameWhereTheyFit) {
  const std::string path = "D:\\games\\old\\deeper\\deepest\\setup.exe";
  struct Case {
    int width;
    std::string shown;
  };
  const Case cases[] = {
      {100, path},                                 // fits whole
      {34, "D:\\games\\...\\deepest\\setup.exe"},  // the nearest folders that fit
      {27, "D:\\games\\...\\setup.exe"},           // the first folder and the name
      {16, "D:\\...\\setup.exe"},                  // the drive and the name
      {12, "D:\\...up.exe"},                       // the drive and the name's end
      {2, "..."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.width);
    const std::string shown = Shorten(path, c.width);
    EXPECT_EQ(shown, c.shown);
    if (c.width >= 3) {
      EXPECT_LE(Characters(shown), c.width);
    }
  }
}

TEST(ShortenPath, ALongNameKeepsItsEndAndWholeCharacters) {
  // A name of 166 characters in a folder: what is left of it is its end,
  // the extension with it, and never half a character.
  std::string name;
  while (name.size() < 162) name += "a-long-name-";
  name = name.substr(0, 162) + ".exe";
  std::string shown = Shorten("D:\\long\\" + name, 60);
  EXPECT_EQ(shown.rfind("D:\\...", 0), 0u) << shown;
  EXPECT_TRUE(shown.ends_with(name.substr(name.size() - 54))) << shown;

  const std::string greek =
      "D:\\\xCF\x80\xCF\x81\xCF\x8C\xCE\xB3\xCF\x81\xCE\xB1\xCE\xBC\xCE\xBC\xCE\xB1.exe";
  shown = Shorten(greek, 11);  // "D:\..." and 5 of the name's 13 characters
  EXPECT_EQ(shown, "D:\\...\xCE\xB1.exe");
  EXPECT_EQ(Characters(shown), 11);
}

TEST(ShortenPath, ServerSharesAndPlainNames) {
  EXPECT_EQ(Shorten("\\\\server\\share\\a\\b\\file.exe", 30), "\\\\server\\share\\a\\b\\file.exe");
  EXPECT_EQ(Shorten("\\\\server\\share\\a\\b\\file.exe", 25), "\\\\server\\...\\a\\b\\file.exe");
  EXPECT_EQ(Shorten("just-a-long-name.exe", 10), "...ame.exe");
}

}  // namespace
