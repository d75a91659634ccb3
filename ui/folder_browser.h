// The system's folder browser, with a seam for tests that drive the window.
#pragma once

#include <windows.h>

#include <optional>
#include <string>

namespace ui {

// Answers that take the browser's place, for the window's tests: the paths
// that the environment variable KRIZCLEAN_BROWSE_ANSWERS holds, separated by
// ";", one per call until they are used up.
class ScriptedFolders {
 public:
  ScriptedFolders();
  // The next answer; nullopt when none is left (or none was given).
  std::optional<std::string> Next();

 private:
  std::string answers_;
  size_t next_ = 0;
};

// The file-system path of the folder the user picks; empty when cancelled or
// when the item has no file-system path. A scripted answer, while one is
// left, takes the browser's place.
std::string BrowseForFolder(HWND owner, const char* title, ScriptedFolders& scripted);

}  // namespace ui
