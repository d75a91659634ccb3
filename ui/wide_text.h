// The window's texts in the system's own characters: on NT the dialogs are
// wide windows and names go to them in UTF-16, whole; on 9x they are ANSI
// windows and names are ANSI already (os/win32/wide.h). The wide calls of
// USER32 and GDI32 are looked up at run time, as the file layer's are, so
// that the program's imports stay within what Windows 98 exports.
#pragma once

#include <windows.h>

#include <string>
#include <string_view>

namespace ui {

// Runs the dialog template `id` modally: a wide dialog on NT.
INT_PTR RunDialog(HINSTANCE instance, int id, HWND owner, DLGPROC procedure, LPARAM parameter);

// Sets `window`'s text to `text` (the program's names: UTF-8 on NT).
void SetText(HWND window, std::string_view text);

// The width in pixels of `text` in the font selected into `dc`; -1 when the
// system cannot tell.
int TextWidth(HDC dc, std::string_view text);

// `text` as the list views' and tips' wide messages take it on NT; empty on
// 9x, where the ANSI messages take the bytes as they are.
bool WideWindows();
std::wstring WideText(std::string_view text);

}  // namespace ui
