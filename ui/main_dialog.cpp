#include "ui/main_dialog.h"

#include <commctrl.h>

#include <algorithm>
#include <cstring>

#include "os/directory.h"
#include "os/win32/wide.h"

#include "scan/outcome.h"
#include "scan/report.h"
#include "scan/scan_state.h"
#include "ui/end_of_scan.h"
#include "ui/infection_prompt.h"
#include "ui/message_box.h"
#include "ui/resource_ids.h"
#include "ui/ui_texts.h"
#include "ui/wide_text.h"

namespace ui {
namespace {

// The control texts set at initialisation, in the order they are set. Each
// button and option has its Alt+letter, a different one for each.
struct ControlText {
  int id;
  const char* text;
};
const ControlText kControlTexts[] = {
    {IDC_PATHS_FRAME, "Paths to scan"},
    {IDC_LISTED_PATHS, "Scan only &listed paths"},
    {IDC_ALL_PATHS, "Scan all &paths"},
    {IDC_ADD_PATH, "&Add path"},
    {IDC_REMOVE_PATH, "&Remove path"},
    {IDC_ACTION_FRAME, "Action"},
    {IDC_ACTION_SCAN_ONLY, "Scan &only"},
    {IDC_ACTION_ASK, "Ask &user"},
    {IDC_ACTION_CLEAN, "&Clean"},
    {IDC_START_SCAN, "START &SCAN"},
    {IDC_STOP_SCAN, "S&top scan"},
    {IDC_TYPES_FRAME, "File type selection"},
    {IDC_ALL_FILES, "Scan all &files"},
    {IDC_SELECTED_TYPES, nullptr},  // FileTypeLabel, with its letter
    {IDC_SHOW_ALL, "S&how all files"},
    {IDC_EXIT, "E&xit"},
};
// The letter of the selected file types: the e of ".exe".
constexpr char kSelectedTypesLetterBefore[] = "exe";

// The least height of the scanned-files list, in dialog units: a few rows.
constexpr int kFewRowsHeight = 40;

int MapDialogUnitsY(HWND dialog, int units) {
  RECT r{0, 0, 0, units};
  MapDialogRect(dialog, &r);
  return r.bottom;
}

// The width of the scanned-files list's status column, in pixels.
constexpr int kStatusColumnWidth = 97;

// A worker's request to the window's thread, sent and answered there.
constexpr UINT kAskMessage = WM_APP + 1;
constexpr UINT kTellMessage = WM_APP + 2;
struct AskRequest {
  std::string_view object;
  int32_t answer;
};
struct TellRequest {
  const char* text;
  const char* caption;
};

// The caption the scan gives a message that needs no more than the box's
// own title: the program's name.
constexpr char kProgramName[] = "krizclean";

// The command line in the program's names: a folder given to /Backup: may
// have any name NT holds.
std::string CommandLine() {
  if (const os::win32::WideCalls* wide = os::win32::Wide()) {
    return os::win32::Narrow(wide->getCommandLine());
  }
  return GetCommandLineA();
}

// The window within the screen's work area at any DPI the system reports:
// its size comes from the dialog units, so a large font makes it taller than
// a small screen. The scanned-files list, the one control that can do with
// less, gives up the height that is too much (down to a few rows), the
// controls below it move up with it, and the window is moved inside the
// work area.
void FitToWorkArea(HWND dialog, HWND filesList) {
  RECT work{};
  RECT window{};
  if (!SystemParametersInfoA(SPI_GETWORKAREA, 0, &work, 0) || !GetWindowRect(dialog, &window)) {
    return;
  }
  RECT list{};
  GetWindowRect(filesList, &list);
  const int excess = (window.bottom - window.top) - (work.bottom - work.top);
  const int fewRows = MapDialogUnitsY(dialog, kFewRowsHeight);
  const int shrink = std::max(0, std::min(excess, int{list.bottom - list.top} - fewRows));
  if (shrink > 0) {
    const LONG below = list.bottom;
    for (HWND child = GetWindow(dialog, GW_CHILD); child != nullptr;
         child = GetWindow(child, GW_HWNDNEXT)) {
      RECT r{};
      GetWindowRect(child, &r);
      POINT at{r.left, r.top};
      ScreenToClient(dialog, &at);
      if (child == filesList) {
        SetWindowPos(child, nullptr, 0, 0, r.right - r.left, r.bottom - r.top - shrink,
                     SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
      } else if (r.top >= below) {
        SetWindowPos(child, nullptr, at.x, at.y - shrink, 0, 0,
                     SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
      }
    }
    window.bottom -= shrink;
  }
  // What still does not fit is clipped at the work area's edges.
  const LONG width = std::min(window.right - window.left, work.right - work.left);
  const LONG height = std::min(window.bottom - window.top, work.bottom - work.top);
  const LONG left = std::clamp(window.left, work.left, work.right - width);
  const LONG top = std::clamp(window.top, work.top, work.bottom - height);
  SetWindowPos(dialog, nullptr, left, top, width, height, SWP_NOZORDER | SWP_NOACTIVATE);
}

std::string SelectedTypesText() {
  std::string text = FileTypeLabel();
  size_t at = text.find(kSelectedTypesLetterBefore);
  if (at == std::string::npos) return text;
  return text.substr(0, at) + '&' + text.substr(at);
}

}  // namespace

MainDialog::MainDialog(HINSTANCE instance, scan::Scan& scan, repair::MemoryStepServices memory)
    : instance_(instance),
      scan_(scan),
      memory_(std::move(memory)),
      icon_(LoadIconA(instance, MAKEINTRESOURCEA(IDI_CLEANER))) {
  scan::ScanSeams& seams = scan_.seams();
  seams.prompt = [this](std::string_view object) { return Ask(object); };
  seams.message = [this](const char* text, const char* caption) {
    // What befell one file is said on its row (its tip), not in a box that
    // would stop the scan until someone clicks: an unattended run ends.
    if (std::strcmp(caption, kProgramName) == 0 && statusRows_.ExplainAnnounced(text)) return;
    Tell(text, caption);
  };
  seams.objectHook = [this](std::string_view shown) { statusRows_.Announce(shown); };
  seams.objectReason = [this](std::string_view path, std::string_view reason) {
    // A listed path that cannot be walked is explained by the window itself.
    if (rootExplained_ && path == root_) return;
    statusRows_.Explain(path, reason);
  };
  seams.statusSink = [this](std::string_view path, scan::ScanOutcome outcome, scan::ObjectKind) {
    statusRows_.Push(path, scan::StatusText(outcome));
  };
  memory_.prompt = [this] { return Ask(scan::PathView(scan_.state().objectPath)); };
  memory_.confirmRepair = [this] {
    return ShowBox(hwnd_, repair::MemoryWarningText(), {BoxButtons::YesNo, BoxIcon::Warning}) !=
           IDNO;
  };
  memory_.showRestartFailure = [this] {
    ShowBox(hwnd_, repair::kRestartFailureText, {BoxButtons::Ok, BoxIcon::Warning});
  };
  memory_.finishScan = [this] { FinishScan(scan_, hwnd_, scan::ScanEnd::Complete); };
}

INT_PTR MainDialog::Run() {
  return RunDialog(instance_, IDD_MAIN, nullptr, Procedure, reinterpret_cast<LPARAM>(this));
}

INT_PTR CALLBACK MainDialog::Procedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_INITDIALOG) {
    auto* self = reinterpret_cast<MainDialog*>(lParam);
    SetWindowLongPtrA(window, DWLP_USER, lParam);
    self->hwnd_ = window;
    return self->InitMainDialog();
  }
  auto* self = reinterpret_cast<MainDialog*>(GetWindowLongPtrA(window, DWLP_USER));
  return self != nullptr ? self->Dispatch(message, wParam, lParam) : FALSE;
}

INT_PTR MainDialog::Dispatch(UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_COMMAND:
      OnCommand(LOWORD(wParam));
      return TRUE;
    case WM_CLOSE:
      OnClose();
      return TRUE;
    case WM_TIMER:
      if (wParam != kScanTimerId) return FALSE;
      OnScanTimer(wParam);
      return TRUE;
    case WM_NOTIFY: {
      const auto& header = *reinterpret_cast<const NMHDR*>(lParam);
      return paths_.OnNotify(header) || files_.OnNotify(header);
    }
    case kAskMessage: {
      auto& request = *reinterpret_cast<AskRequest*>(lParam);
      request.answer = Ask(request.object);
      return TRUE;
    }
    case kTellMessage: {
      const auto& request = *reinterpret_cast<const TellRequest*>(lParam);
      Tell(request.text, request.caption);
      return TRUE;
    }
    case WM_PAINT:
      if (!IsIconic(hwnd_)) return FALSE;
      OnPaint();
      return TRUE;
    case WM_QUERYDRAGICON:
      SetWindowLongPtrA(hwnd_, DWLP_MSGRESULT, reinterpret_cast<LONG_PTR>(icon_));
      return reinterpret_cast<INT_PTR>(icon_);
    default:
      return FALSE;
  }
}

void MainDialog::OnCommand(WORD id) {
  switch (id) {
    case IDC_EXIT:  // Exit, Alt+X
      OnExit();
      break;
    case IDC_START_SCAN:
      OnStartScan();
      break;
    case IDC_STOP_SCAN:
      OnStopScan();
      break;
    case IDC_ADD_PATH:
      OnAddPath();
      break;
    case IDC_REMOVE_PATH:
      OnRemovePath();
      break;
    default:  // Enter (the OK command) and Escape (cancel): the window stays open
      break;
  }
}

bool MainDialog::OnWindowThread() const {
  return GetWindowThreadProcessId(hwnd_, nullptr) == GetCurrentThreadId();
}

int32_t MainDialog::Ask(std::string_view object) {
  if (!OnWindowThread()) {
    // A worker's question waits for the window's thread, which runs the
    // prompt as its own. A window that is gone answers nothing: Skip.
    AskRequest request{object, static_cast<int32_t>(scan::PromptChoice::Skip)};
    SendMessageA(hwnd_, kAskMessage, 0, reinterpret_cast<LPARAM>(&request));
    return request.answer;
  }
  return ShowInfectionPrompt(hwnd_, object);
}

void MainDialog::Tell(const char* text, const char* caption) {
  if (!OnWindowThread()) {
    TellRequest request{text, caption};
    SendMessageA(hwnd_, kTellMessage, 0, reinterpret_cast<LPARAM>(&request));
    return;
  }
  // Every box carries the window's title; a caption that says more than the
  // program's name becomes the text's first line.
  std::string shown = text;
  bool plain = std::strcmp(caption, kProgramName) == 0;
  if (!plain && std::strcmp(caption, "Error") != 0) {
    shown = std::string(caption) + "\r\n\r\n" + shown;
  }
  ShowBox(hwnd_, shown, {BoxButtons::Ok, plain ? BoxIcon::Warning : BoxIcon::Error});
}

BOOL MainDialog::InitMainDialog() {
  filesList_ = GetDlgItem(hwnd_, IDC_FILES_LIST);
  // Before the lists take their columns' widths from their sizes.
  FitToWorkArea(hwnd_, filesList_);
  SendMessageA(hwnd_, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(icon_));
  SendMessageA(hwnd_, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(icon_));

  paths_.Attach(hwnd_, GetDlgItem(hwnd_, IDC_PATHS_LIST), {texts::kPathsColumn}, {});
  files_.Attach(hwnd_, filesList_, {texts::kFilesColumn, texts::kStatusColumn},
                {kStatusColumnWidth});
  for (const ControlText& control : kControlTexts) {
    SetDlgItemTextA(hwnd_, control.id,
                    control.text != nullptr ? control.text : SelectedTypesText().c_str());
  }
  SetCleanerTitle(hwnd_, texts::kTitleFormat);

  // Nothing starts on a command line the program cannot take whole: a
  // mistyped switch must not clean without the backup it asked for.
  ParsedSwitches parsed = ParseSwitches(CommandLine());
  if (!parsed.problem.empty()) {
    ShowBox(hwnd_, parsed.problem, {BoxButtons::Ok, BoxIcon::Error});
    EndDialog(hwnd_, kStartRefused);
    return TRUE;
  }
  switches_ = parsed.switches;
  if (switches_.backupFolder && !KeepBackupsAsAsked(*switches_.backupFolder)) {
    EndDialog(hwnd_, kStartRefused);
    return TRUE;
  }

  // Each group's other options are unchecked too: an option's check mark
  // takes its group's Tab stop with it.
  CheckRadioButton(hwnd_, IDC_LISTED_PATHS, IDC_ALL_PATHS,
                   switches_.listedPaths ? IDC_LISTED_PATHS : IDC_ALL_PATHS);
  CheckRadioButton(hwnd_, IDC_ACTION_SCAN_ONLY, IDC_ACTION_CLEAN, IDC_ACTION_CLEAN);
  CheckRadioButton(hwnd_, IDC_ALL_FILES, IDC_SELECTED_TYPES, IDC_SELECTED_TYPES);
  if (switches_.autoStart) PostMessageA(hwnd_, WM_COMMAND, IDC_START_SCAN, 0);
  if (switches_.close) scan_.state().setCloseWhenDone(1);
  return TRUE;
}

bool MainDialog::KeepBackupsAsAsked(const std::string& folder) {
  // A relative folder is taken now, from the one the program started in.
  // Made when missing; a folder that cannot be used stops the program
  // before anything is cleaned without the backup asked for.
  std::string name;
  const os::Folder parent = os::Folder::OpenParent(folder, false, name);
  if (parent.IsOpen() && parent.Look(name).kind == os::EntryInfo::Kind::Missing) {
    parent.MakeChild(name);
  }
  const os::Folder opened = os::Folder::Open(folder);
  std::string full = opened.IsOpen() ? opened.PathOf("") : std::string();
  if (full.size() > 3 && full.back() == '\\') full.pop_back();
  const bool usable = !full.empty();
  if (!usable) {
    std::string text = "Cannot keep backups in the folder " + folder;
    ShowBox(hwnd_, text, {BoxButtons::Ok, BoxIcon::Error});
    return false;
  }
  scan_.seams().repair = {full, nullptr, nullptr};
  return true;
}

void MainDialog::OnAddPath() {
  std::string path = BrowseForFolder(hwnd_, texts::kBrowseTitle, scriptedFolders_);
  if (path.empty()) return;
  for (const std::string& listed : paths_.Paths()) {
    if (listed == path) return;
  }
  paths_.Insert(0, path);
  CheckRadioButton(hwnd_, IDC_LISTED_PATHS, IDC_ALL_PATHS, IDC_LISTED_PATHS);
  // The scan walks the paths as they stood at its start: the list of its
  // rows says that this one waits for the next.
  if (scan_.state().scanRunning() != 0) {
    statusRows_.Explain(path, texts::kAddedDuringScanReason);
    statusRows_.Push(path, texts::kAddedDuringScan);
  }
}

void MainDialog::OnRemovePath() {
  paths_.Remove(paths_.FirstSelected());
  if (paths_.Count() == 0) CheckRadioButton(hwnd_, IDC_LISTED_PATHS, IDC_ALL_PATHS, IDC_ALL_PATHS);
}

void MainDialog::AddStatusRow(const StatusRow& row) {
  files_.Insert(files_.Count(), row.path, row.status, row.reason);
}

void MainDialog::OnPaint() {
  PAINTSTRUCT paint;
  HDC dc = BeginPaint(hwnd_, &paint);
  SendMessageA(hwnd_, WM_ICONERASEBKGND, reinterpret_cast<WPARAM>(dc), 0);
  RECT client;
  GetClientRect(hwnd_, &client);
  int x = (client.right - client.left - GetSystemMetrics(SM_CXICON) + 1) / 2;
  int y = (client.bottom - client.top - GetSystemMetrics(SM_CYICON) + 1) / 2;
  DrawIcon(dc, x, y, icon_);
  EndPaint(hwnd_, &paint);
}

const char* FileTypeLabel() {
  static char label[64];
  label[0] = '\0';
  for (const char* piece : {"Scan only ", "*.exe, Kernel32.dll", " and ", "Krized.tt6", " files"}) {
    std::strncat(label, piece, sizeof label - std::strlen(label) - 1);
  }
  return label;
}

namespace {

std::string TitleFrom(const char* format) {
  char name[64];
  scan::VirusName(name, sizeof name);
  char title[256];
  wsprintfA(title, format, name);
  return title;
}

}  // namespace

std::string CleanerTitle() { return TitleFrom(texts::kTitleFormat); }

void SetCleanerTitle(HWND window, const char* format) {
  SetWindowTextA(window, TitleFrom(format).c_str());
}

}  // namespace ui
