#include "ui/folder_browser.h"

#include <objbase.h>
#include <shlobj.h>

#include <cstdlib>

#include "os/win32/wide.h"

namespace ui {
ScriptedFolders::ScriptedFolders() {
  if (const char* text = std::getenv("KRIZCLEAN_BROWSE_ANSWERS")) {
    answers_ = os::win32::FromAnsi(text);
    answers_ += ';';
  }
}

std::optional<std::string> ScriptedFolders::Next() {
  if (next_ >= answers_.size()) return std::nullopt;  // none, or all used: the real browser
  const size_t end = answers_.find(';', next_);
  std::string answer = answers_.substr(next_, end - next_);
  next_ = end + 1;
  return answer;
}

std::string BrowseForFolder(HWND owner, const char* title, ScriptedFolders& scripted) {
  if (std::optional<std::string> answer = scripted.Next()) return *answer;
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
  std::string path;
  if (item != nullptr) {
    // NT tells the folder's path wide: any name it holds.
    using WidePathFn = BOOL(WINAPI*)(LPCITEMIDLIST, LPWSTR);
    auto widePath = os::win32::Wide() == nullptr
                        ? nullptr
                        : reinterpret_cast<WidePathFn>(reinterpret_cast<void*>(GetProcAddress(
                              GetModuleHandleA("SHELL32.DLL"), "SHGetPathFromIDListW")));
    if (widePath != nullptr) {
      wchar_t wide[MAX_PATH] = {};
      found = widePath(item, wide) != FALSE;
      path = os::win32::Narrow(wide);
    } else {
      buffer[0] = '\0';
      found = SHGetPathFromIDListA(item, buffer) != FALSE;
      path = buffer;
    }
    CoTaskMemFree(item);
  }
  if (SUCCEEDED(com)) CoUninitialize();
  return found ? path : std::string();
}

}  // namespace ui
