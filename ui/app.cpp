// The Windows program: turns off the system's critical-error boxes, runs the
// main window, and after a memory self-repair keeps warning until the restart.
#include <windows.h>

#include <commctrl.h>

#include <cstdlib>
#include <string>

#include "repair/memory_step.h"
#include "repair/restart.h"
#include "scan/scan.h"
#include "ui/main_dialog.h"
#include "ui/message_box.h"
#include "ui/ui_texts.h"

namespace ui {
namespace {

// For the window's tests, which cannot start an infected copy of the
// program nor let Wine end its session: KRIZCLEAN_TEST_OWN_FILE names the
// file the memory check takes for the program's own, and with
// KRIZCLEAN_TEST_NO_RESTART set the restart counts as asked for and granted.
repair::MemoryStepServices TestSeams() {
  repair::MemoryStepServices services;
  if (const char* file = std::getenv("KRIZCLEAN_TEST_OWN_FILE")) {
    services.ownPath = [ownFile = std::string(file)] { return ownFile; };
  }
  if (std::getenv("KRIZCLEAN_TEST_NO_RESTART") != nullptr) {
    services.requestRestart = [] { return true; };
  }
  return services;
}

}  // namespace

int RunApplication(HINSTANCE instance) {
  InitCommonControls();  // the list views; the oldest form, known to every system we run on
  // The restart seam is the front end's to give: the scan knows nothing of
  // how a system replaces files at its next start.
  scan::ScanSeams seams;
  seams.replaceAtRestart = repair::ReplaceAtRestart;
  scan::Scan scan(std::move(seams));
  // The window supplies the scan's prompt and messages and the memory step's
  // questions: each is a box of its own.
  MainDialog dialog(instance, scan, TestSeams());
  INT_PTR result = dialog.Run();
  // Drop what is still queued, the quit requests among it, so that the
  // warnings below are not closed at once.
  MSG message;
  while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
  }
  while (scan.state().memoryInfected() != 0) {
    ShowBox(nullptr, texts::kMemoryWarning, {BoxButtons::Ok, BoxIcon::Error, true});
  }
  return result == kStartRefused ? 2 : 0;
}

}  // namespace ui

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
  UINT mode = SetErrorMode(0);
  SetErrorMode(mode | SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
  return ui::RunApplication(instance);
}
