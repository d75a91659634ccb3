#include "ui/folder_browser.h"

#include <objbase.h>
#include <shlobj.h>

#include <cstdlib>

namespace ui {
namespace {

// The next scripted answer, or nullptr when the browser is to be shown.
const std::string* NextScriptedAnswer() {
  static bool read = false;
  static std::string answers;
  static size_t next = 0;
  static std::string answer;
  if (!read) {
    read = true;
    const char* text = std::getenv("KRIZCLEAN_BROWSE_ANSWERS");
    if (text == nullptr) return nullptr;
    answers = text;
    answers += ';';
  }
  if (next >= answers.size()) return nullptr;  // none, or all used: the real browser
  size_t end = answers.find(';', next);
  answer = answers.substr(next, end - next);
  next = end + 1;
  return &answer;
}

}  // namespace

std::string BrowseForFolder(HWND owner, const char* title) {
  if (const std::string* scripted = NextScriptedAnswer()) return *scripted;
  char buffer[MAX_PATH] = {};
  BROWSEINFOA info{};
  info.hwndOwner = owner;
  info.pidlRoot = nullptr;
  info.pszDisplayName = buffer;
  info.lpszTitle = title;
  info.ulFlags = 0;
  // The browser is made of the shell's COM objects, and the shell asks its
  // callers to start COM on their thread first; not every shell does it
  // for them. The window's thread did not, so it does it for each browse.
  HRESULT com = CoInitialize(nullptr);
  LPITEMIDLIST item = SHBrowseForFolderA(&info);
  bool found = false;
  if (item != nullptr) {
    buffer[0] = '\0';
    found = SHGetPathFromIDListA(item, buffer) != FALSE;
    CoTaskMemFree(item);
  }
  if (SUCCEEDED(com)) CoUninitialize();
  return found ? std::string(buffer) : std::string();
}

}  // namespace ui
