// The Windows program: turns off the system's critical-error boxes, runs the
// main window, and after a memory self-repair keeps warning until the restart.
#include <windows.h>

#include <commctrl.h>

#include <cstdlib>
#include <string>

#include "repair/memory_step.h"
#include "scan/handle_object.h"
#include "scan/scan_state.h"
#include "scan/user_message.h"
#include "ui/box_owner.h"
#include "ui/end_of_scan.h"
#include "ui/infection_prompt.h"
#include "ui/main_dialog.h"
#include "ui/ui_texts.h"

namespace ui {
namespace {

// Messages of the window's thread (the boot-time program's installer) belong
// to the main window; those of the worker (a stalled status ring) have no
// owner, so that Stop scan stays usable.
void ShowMessageBox(const char* text, const char* caption) {
  MessageBoxA(BoxOwner(), text, caption, MB_OK);
}

bool ConfirmMemoryRepair() {
  std::string text = repair::MemoryWarningText();
  return MessageBoxA(BoxOwner(), text.c_str(), repair::kMemoryWarningCaption,
                     MB_YESNO | MB_ICONEXCLAMATION) != IDNO;
}

void ShowRestartFailure() {
  MessageBoxA(BoxOwner(), repair::kRestartFailureText, repair::kMemoryWarningCaption,
              MB_OK | MB_ICONEXCLAMATION);
}

// For the window's tests, which cannot start an infected copy of the
// program nor let Wine end its session: KRIZCLEAN_TEST_OWN_FILE names the
// file the memory check takes for the program's own, and with
// KRIZCLEAN_TEST_NO_RESTART set the restart counts as asked for and granted.
void InstallTestSeams(repair::MemoryStepServices& services) {
  static std::string ownFile;
  if (const char* file = std::getenv("KRIZCLEAN_TEST_OWN_FILE")) {
    ownFile = file;
    services.ownPath = [] { return ownFile; };
  }
  if (std::getenv("KRIZCLEAN_TEST_NO_RESTART") != nullptr) {
    services.requestRestart = [] { return true; };
  }
}

// The front end's answers to the seams of the scan and the repair.
void InstallSeams() {
  scan::SetMessageHandler(ShowMessageBox);
  scan::SetInfectionPrompt(ShowInfectionPrompt);
  repair::MemoryStepServices services;
  services.confirmRepair = ConfirmMemoryRepair;
  services.prompt = ShowInfectionPrompt;
  services.finishScan = FinishScan;
  services.showRestartFailure = ShowRestartFailure;
  InstallTestSeams(services);
  repair::SetMemoryStepServices(services);
}

}  // namespace

int RunApplication(HINSTANCE instance) {
  InitCommonControls();  // the list views; the oldest form, known to every system we run on
  InstallSeams();
  MainDialog dialog(instance);
  scan::TheScanState().setMemoryInfected(0);
  dialog.Run();
  // Drop what is still queued, the quit requests among it, so that the
  // warnings below are not closed at once.
  MSG message;
  while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
  }
  while (scan::TheScanState().memoryInfected() != 0) {
    MessageBoxA(nullptr, texts::kMemoryWarning, texts::kWarningCaption,
                MB_OK | MB_ICONERROR | MB_TOPMOST | MB_SETFOREGROUND);
  }
  return 0;
}

}  // namespace ui

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
  UINT mode = SetErrorMode(0);
  SetErrorMode(mode | SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
  return ui::RunApplication(instance);
}
