// The system's folder browser, with a seam for tests that drive the window.
#pragma once

#include <windows.h>

#include <string>

namespace ui {

// The file-system path of the folder the user picks; empty when cancelled or
// when the item has no file-system path. When the environment variable
// KRIZCLEAN_BROWSE_ANSWERS holds paths separated by ";", each call takes the
// next of them instead of showing the browser, until they are used up (for
// the window's tests).
std::string BrowseForFolder(HWND owner, const char* title);

}  // namespace ui
