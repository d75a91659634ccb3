#include "ui/box_owner.h"

namespace ui {
namespace {

// A window property rather than a variable: the mark lives and dies with the
// window, and each thread finds only its own windows.
constexpr char kMainWindowMark[] = "krizclean.main";

BOOL CALLBACK FindMarked(HWND window, LPARAM found) {
  if (GetPropA(window, kMainWindowMark) == nullptr) return TRUE;
  *reinterpret_cast<HWND*>(found) = window;
  return FALSE;
}

}  // namespace

void MarkMainWindow(HWND window) { SetPropA(window, kMainWindowMark, window); }

void UnmarkMainWindow(HWND window) { RemovePropA(window, kMainWindowMark); }

HWND BoxOwner() {
  HWND found = nullptr;
  EnumThreadWindows(GetCurrentThreadId(), FindMarked, reinterpret_cast<LPARAM>(&found));
  return found;
}

}  // namespace ui
