#include "ui/main_dialog.h"

#include <commctrl.h>
#include <shlobj.h>

#include <cstdlib>
#include <cstring>

#include "scan/handle_object.h"
#include "scan/report.h"
#include "scan/scan_state.h"
#include "ui/box_owner.h"
#include "ui/folder_browser.h"
#include "ui/resource_ids.h"
#include "ui/switches.h"
#include "ui/ui_texts.h"

namespace ui {
namespace {

// The control texts set at initialisation, in the order they are set.
struct ControlText {
  int id;
  const char* text;
};
const ControlText kControlTexts[] = {
    {IDC_PATHS_FRAME, "Paths to scan"},  {IDC_LISTED_PATHS, "Scan only listed paths"},
    {IDC_ALL_PATHS, "Scan all paths"},   {IDC_ADD_PATH, "Add path"},
    {IDC_REMOVE_PATH, "Remove path"},    {IDC_ACTION_FRAME, "Action"},
    {IDC_ACTION_SCAN_ONLY, "Scan only"}, {IDC_ACTION_ASK, "Ask user"},
    {IDC_ACTION_CLEAN, "Clean"},         {IDC_START_SCAN, "START SCAN"},
    {IDC_STOP_SCAN, "Stop scan"},        {IDC_TYPES_FRAME, "File type selection"},
    {IDC_ALL_FILES, "Scan all files"},   {IDC_SELECTED_TYPES, nullptr},  // FileTypeLabel
    {IDC_SHOW_ALL, "Show all files"},    {IDC_EXIT, "Exit"},
};

bool CommandLineHas(const char* switchText) {
  return std::strstr(GetCommandLineA(), switchText) != nullptr;
}

void InsertColumn(HWND list, int index, const char* title, int width) {
  LVCOLUMNA column{};
  column.mask = LVCF_FMT | LVCF_TEXT | LVCF_WIDTH | LVCF_SUBITEM;
  column.fmt = LVCFMT_LEFT;
  column.cx = width;
  column.pszText = const_cast<char*>(title);
  column.iSubItem = index;
  SendMessageA(list, LVM_INSERTCOLUMNA, static_cast<WPARAM>(index),
               reinterpret_cast<LPARAM>(&column));
}

int RowCount(HWND list) { return static_cast<int>(SendMessageA(list, LVM_GETITEMCOUNT, 0, 0)); }

int InsertRow(HWND list, int index, const char* text) {
  LVITEMA item{};
  item.mask = LVIF_TEXT;
  item.iItem = index;
  item.pszText = const_cast<char*>(text);
  return static_cast<int>(SendMessageA(list, LVM_INSERTITEMA, 0, reinterpret_cast<LPARAM>(&item)));
}

void SetCell(HWND list, int row, int column, const char* text) {
  LVITEMA item{};
  item.iSubItem = column;
  item.pszText = const_cast<char*>(text);
  SendMessageA(list, LVM_SETITEMTEXTA, static_cast<WPARAM>(row), reinterpret_cast<LPARAM>(&item));
}

}  // namespace

MainDialog::MainDialog(HINSTANCE instance, scan::Scan& scan,
                       const repair::MemoryStepServices& memory)
    : instance_(instance),
      scan_(scan),
      memory_(memory),
      icon_(LoadIconA(instance, MAKEINTRESOURCEA(IDI_CLEANER))) {}

INT_PTR MainDialog::Run() {
  return DialogBoxParamA(instance_, MAKEINTRESOURCEA(IDD_MAIN), nullptr, Procedure,
                         reinterpret_cast<LPARAM>(this));
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

INT_PTR MainDialog::Dispatch(UINT message, WPARAM wParam, LPARAM) {
  switch (message) {
    case WM_COMMAND:
      OnCommand(LOWORD(wParam));
      return TRUE;
    case WM_TIMER:
      if (wParam != kScanTimerId) return FALSE;
      OnScanTimer(wParam);
      return TRUE;
    case WM_PAINT:
      if (!IsIconic(hwnd_)) return FALSE;
      OnPaint();
      return TRUE;
    case WM_DESTROY:
      UnmarkMainWindow(hwnd_);
      return FALSE;
    case WM_QUERYDRAGICON:
      SetWindowLongPtrA(hwnd_, DWLP_MSGRESULT, reinterpret_cast<LONG_PTR>(icon_));
      return reinterpret_cast<INT_PTR>(icon_);
    default:
      return FALSE;
  }
}

void MainDialog::OnCommand(WORD id) {
  switch (id) {
    case IDC_EXIT:  // the cancel command: Exit, Escape, the close box
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
    default:  // the OK command (Enter) among them: the window stays open
      break;
  }
}

BOOL MainDialog::InitMainDialog() {
  MarkMainWindow(hwnd_);
  pathsList_ = GetDlgItem(hwnd_, IDC_PATHS_LIST);
  filesList_ = GetDlgItem(hwnd_, IDC_FILES_LIST);
  SendMessageA(hwnd_, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(icon_));
  SendMessageA(hwnd_, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(icon_));

  InsertColumn(pathsList_, 0, texts::kPathsColumn, 400);
  InsertColumn(filesList_, 0, texts::kFilesColumn, 400);
  InsertColumn(filesList_, 1, texts::kStatusColumn, 97);
  for (const ControlText& control : kControlTexts) {
    SetDlgItemTextA(hwnd_, control.id, control.text != nullptr ? control.text : FileTypeLabel());
  }
  SetCleanerTitle(hwnd_, texts::kTitleFormat);

  CheckDlgButton(hwnd_, CommandLineHas("/ListedPaths") ? IDC_LISTED_PATHS : IDC_ALL_PATHS,
                 BST_CHECKED);
  CheckDlgButton(hwnd_, IDC_ACTION_CLEAN, BST_CHECKED);
  CheckDlgButton(hwnd_, IDC_SELECTED_TYPES, BST_CHECKED);
  if (CommandLineHas("/AutoStart")) PostMessageA(hwnd_, WM_COMMAND, IDC_START_SCAN, 0);
  if (CommandLineHas("/Close")) scan_.state().setCloseWhenDone(1);
  if (!KeepBackupsAsAsked()) EndDialog(hwnd_, 0);
  return TRUE;
}

bool MainDialog::KeepBackupsAsAsked() {
  std::optional<std::string> folder = SwitchValue(GetCommandLineA(), "/Backup:");
  if (!folder) return true;
  // Made when missing; a folder that cannot be used stops the program before
  // anything is cleaned without the backup asked for.
  CreateDirectoryA(folder->c_str(), nullptr);
  DWORD attributes = GetFileAttributesA(folder->c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
    std::string text = "Cannot keep backups in the folder " + *folder;
    MessageBoxA(hwnd_, text.c_str(), "Error", MB_OK | MB_ICONSTOP);
    return false;
  }
  scan_.seams().repair = {*folder, nullptr, nullptr};
  return true;
}

std::string MainDialog::PathRow(int row) const {
  char text[MAX_PATH] = {};
  LVITEMA item{};
  item.iSubItem = 0;
  item.pszText = text;
  item.cchTextMax = MAX_PATH;
  LRESULT length = SendMessageA(pathsList_, LVM_GETITEMTEXTA, static_cast<WPARAM>(row),
                                reinterpret_cast<LPARAM>(&item));
  if (length <= 0) return std::string();
  return std::string(
      text, static_cast<size_t>(length) < MAX_PATH ? static_cast<size_t>(length) : MAX_PATH - 1);
}

void MainDialog::OnAddPath() {
  std::string path = BrowseForFolder(hwnd_, texts::kBrowseTitle, scriptedFolders_);
  if (path.empty()) return;
  int rows = RowCount(pathsList_);
  for (int row = 0; row < rows; ++row) {
    if (PathRow(row) == path) return;
  }
  InsertRow(pathsList_, 0, path.c_str());
  CheckDlgButton(hwnd_, IDC_ALL_PATHS, BST_UNCHECKED);
  CheckDlgButton(hwnd_, IDC_LISTED_PATHS, BST_CHECKED);
}

void MainDialog::OnRemovePath() {
  LRESULT selected = SendMessageA(pathsList_, LVM_GETNEXTITEM, static_cast<WPARAM>(-1),
                                  MAKELPARAM(LVNI_SELECTED, 0));
  if (selected >= 0) SendMessageA(pathsList_, LVM_DELETEITEM, static_cast<WPARAM>(selected), 0);
  if (RowCount(pathsList_) == 0) {
    CheckDlgButton(hwnd_, IDC_ALL_PATHS, BST_CHECKED);
    CheckDlgButton(hwnd_, IDC_LISTED_PATHS, BST_UNCHECKED);
  }
}

void MainDialog::AddStatusLine(const std::string& line) {
  int row = RowCount(filesList_);
  size_t separator = line.find("\t\t\t");
  std::string name = line.substr(0, separator);
  row = InsertRow(filesList_, row, name.c_str());
  if (separator != std::string::npos) {
    SetCell(filesList_, row, 1, line.c_str() + separator + 3);
  }
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

void SetCleanerTitle(HWND window, const char* format) {
  char name[64];
  scan::VirusName(name, sizeof name);
  char title[256];
  wsprintfA(title, format, name);
  SetWindowTextA(window, title);
}

std::string ApplicationName() {
  char path[MAX_PATH] = {};
  DWORD length = GetModuleFileNameA(nullptr, path, MAX_PATH);
  std::string name(path, length < MAX_PATH ? length : 0);
  size_t slash = name.find_last_of("\\/");
  if (slash != std::string::npos) name.erase(0, slash + 1);
  size_t dot = name.find_last_of('.');
  if (dot != std::string::npos) name.erase(dot);
  return name;
}

}  // namespace ui
