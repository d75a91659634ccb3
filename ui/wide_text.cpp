#include "ui/wide_text.h"

#include "os/win32/wide.h"

namespace ui {
namespace {

struct UserCalls {
  decltype(&::DialogBoxParamW) dialogBoxParam = nullptr;
  decltype(&::SetWindowTextW) setWindowText = nullptr;
  decltype(&::GetTextExtentPoint32W) textExtent = nullptr;
};

template <typename Call>
void Find(HMODULE module, const char* name, Call& call) {
  call = module == nullptr
             ? nullptr
             : reinterpret_cast<Call>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

UserCalls LookUp() {
  UserCalls calls;
  if (os::win32::Wide() == nullptr) return calls;
  Find(GetModuleHandleA("USER32.DLL"), "DialogBoxParamW", calls.dialogBoxParam);
  Find(GetModuleHandleA("USER32.DLL"), "SetWindowTextW", calls.setWindowText);
  Find(GetModuleHandleA("GDI32.DLL"), "GetTextExtentPoint32W", calls.textExtent);
  if (calls.dialogBoxParam == nullptr || calls.setWindowText == nullptr ||
      calls.textExtent == nullptr) {
    return UserCalls{};
  }
  return calls;
}

// Looked up once and only read after.
const UserCalls& User() {
  static const UserCalls calls = LookUp();
  return calls;
}

}  // namespace

bool WideWindows() { return User().dialogBoxParam != nullptr; }

std::wstring WideText(std::string_view text) { return os::win32::Widen(text); }

INT_PTR RunDialog(HINSTANCE instance, int id, HWND owner, DLGPROC procedure, LPARAM parameter) {
  if (WideWindows()) {
    return User().dialogBoxParam(instance, MAKEINTRESOURCEW(id), owner, procedure, parameter);
  }
  return DialogBoxParamA(instance, MAKEINTRESOURCEA(id), owner, procedure, parameter);
}

void SetText(HWND window, std::string_view text) {
  if (WideWindows()) {
    User().setWindowText(window, WideText(text).c_str());
  } else {
    SetWindowTextA(window, std::string(text).c_str());
  }
}

int TextWidth(HDC dc, std::string_view text) {
  SIZE extent{};
  if (WideWindows()) {
    std::wstring wide = WideText(text);
    if (!User().textExtent(dc, wide.c_str(), static_cast<int>(wide.size()), &extent)) return -1;
  } else if (!GetTextExtentPoint32A(dc, text.data(), static_cast<int>(text.size()), &extent)) {
    return -1;
  }
  return extent.cx;
}

}  // namespace ui
