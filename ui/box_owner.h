// The window that owns the program's boxes (warnings, the prompt for the
// memory, the report, every message of the window's thread): the main window,
// so that it cannot be used while one of them is up.
#pragma once

#include <windows.h>

namespace ui {

// Marks `window` as the main window of its thread, or unmarks it before it
// is destroyed.
void MarkMainWindow(HWND window);
void UnmarkMainWindow(HWND window);

// The main window when called on its thread; nullptr on any other thread
// (the worker's prompts and messages have no owner, so that Stop scan and
// Exit stay usable) and once the main window is gone.
HWND BoxOwner();

}  // namespace ui
