#include "ui/infection_prompt.h"

#include <cstring>

#include "scan/report.h"
#include "scan/scan_state.h"
#include "ui/fit_path.h"
#include "ui/main_dialog.h"
#include "ui/resource_ids.h"
#include "ui/ui_texts.h"
#include "ui/wide_text.h"

namespace ui {
namespace {

// Moves the prompt to the centre of the desktop through its placement.
void CentreOnDesktop(HWND window) {
  RECT desktop;
  GetClientRect(GetDesktopWindow(), &desktop);
  WINDOWPLACEMENT placement{};
  placement.length = sizeof placement;
  GetWindowPlacement(window, &placement);
  RECT& r = placement.rcNormalPosition;
  LONG dx = (desktop.left + desktop.right - r.left - r.right) / 2;
  LONG dy = (desktop.top + desktop.bottom - r.top - r.bottom) / 2;
  OffsetRect(&r, dx, dy);
  placement.flags = 0;
  placement.showCmd = SW_SHOW;
  SetWindowPlacement(window, &placement);
}

void Initialise(HWND window, std::string_view object) {
  SetCleanerTitle(window, texts::kTitleFormat);
  CentreOnDesktop(window);
  SetDlgItemTextA(window, IDC_DISINFECT, texts::kDisinfect);
  SetDlgItemTextA(window, IDC_SKIP, texts::kSkip);
  SetDlgItemTextA(window, IDC_QUIT, texts::kQuit);

  std::string path(object);
  if (object == texts::kRegistryObject) {
    SetDlgItemTextA(window, IDC_FILE_WORD, "");
    SetDlgItemTextA(window, IDC_OBJECT_LINE, texts::kTheRegistry);
  } else if (object == texts::kMemoryObject) {
    SetDlgItemTextA(window, IDC_FILE_WORD, "");
    SetDlgItemTextA(window, IDC_OBJECT_LINE, texts::kTheMemory);
  } else {
    SetDlgItemTextA(window, IDC_FILE_WORD, texts::kTheFile);
    SetPathText(GetDlgItem(window, IDC_OBJECT_LINE), path);
  }

  char virus[64];
  scan::VirusName(virus, sizeof virus);
  char line[256];
  wsprintfA(line, "%s%s", texts::kInfectedWith, virus);
  SetDlgItemTextA(window, IDC_INFECTED_WITH, line);
}

// No key may answer the prompt until the user picks a button on purpose (a
// click, or Tab first): whenever it becomes active, the keyboard focus goes to
// the dialog itself rather than back to a button, and no button is the default
// one. The OK command that Enter then sends is ignored like any other.
void KeepFocusOffTheButtons(HWND window) {
  SendMessageA(window, DM_SETDEFID, IDOK, 0);
  SetFocus(window);
}

}  // namespace

int32_t ShowInfectionPrompt(HWND owner, std::string_view object) {
  return static_cast<int32_t>(RunDialog(GetModuleHandleA(nullptr), IDD_PROMPT, owner,
                                        InfectionPromptProc, reinterpret_cast<LPARAM>(&object)));
}

INT_PTR CALLBACK InfectionPromptProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_INITDIALOG:
      Initialise(window, *reinterpret_cast<const std::string_view*>(lParam));
      return FALSE;  // no button gets the focus
    case WM_ACTIVATE:
      if (LOWORD(wParam) == WA_INACTIVE) return FALSE;  // the system notes the focus
      KeepFocusOffTheButtons(window);
      return TRUE;  // not the system's: it would give a button the focus back
    case WM_SETFOCUS:
      return TRUE;  // the same: the dialog keeps the focus itself
    case WM_COMMAND:
      break;
    default:
      return FALSE;
  }
  switch (LOWORD(wParam)) {
    case IDC_DISINFECT:
      EndDialog(window, 102);
      return TRUE;
    case IDC_SKIP:
    case IDCANCEL:  // Escape and the close box: the answer that changes nothing
      EndDialog(window, 103);
      return TRUE;
    case IDC_QUIT:
      EndDialog(window, 104);
      return TRUE;
    default:  // Enter leaves the prompt open
      return FALSE;
  }
}

}  // namespace ui
