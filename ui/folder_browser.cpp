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
  if (answers.empty()) return nullptr;
  size_t end = answers.find(';', next);
  answer = end == std::string::npos ? std::string() : answers.substr(next, end - next);
  next = end == std::string::npos ? answers.size() : end + 1;
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
  LPITEMIDLIST item = SHBrowseForFolderA(&info);
  if (item == nullptr) return std::string();
  buffer[0] = '\0';
  BOOL found = SHGetPathFromIDListA(item, buffer);
  CoTaskMemFree(item);
  return found ? std::string(buffer) : std::string();
}

}  // namespace ui
