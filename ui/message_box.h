// The program's message boxes. Its own dialog rather than the system's: each
// box carries the main window's title and is made wide enough to show that
// title whole, however short its text (the system's box is as wide as its
// text and cuts the caption short).
#pragma once

#include <windows.h>

#include <string_view>

namespace ui {

enum class BoxButtons { Ok, YesNo };
enum class BoxIcon { None, Warning, Error };

struct BoxStyle {
  BoxButtons buttons = BoxButtons::Ok;
  BoxIcon icon = BoxIcon::None;
  bool topmost = false;  // above every window, and brought to the foreground
};

// Shows `text` modally, owned by `owner` (nullptr: a window of its own), until
// it is answered: IDOK, IDYES or IDNO. Escape and the close box answer OK in
// a box with OK, and No in one that asks. While the box is up, `*shown` (when
// given) holds its window, so that its owner can end it; nullptr after.
int ShowBox(HWND owner, std::string_view text, BoxStyle style = {}, HWND* shown = nullptr);

}  // namespace ui
