// The infection prompt: asks, for one object, whether to
// disinfect it, skip it or quit the scan.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string_view>

namespace ui {

// Runs the prompt about `object` (a path, or "memory" or "registry") modally
// on the calling thread, owned by `owner` (the main window, on its thread).
// 102 Disinfect, 103 Skip (also Escape and the close box), 104 Quit; -1 when
// the dialog cannot be made, which callers take as Skip.
int32_t ShowInfectionPrompt(HWND owner, std::string_view object);

INT_PTR CALLBACK InfectionPromptProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

}  // namespace ui
