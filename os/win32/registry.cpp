#include "os/registry.h"

#include <windows.h>

namespace os {

bool SetMachineStringValue(const std::string& key, const std::string& name,
                           const std::string& data) {
  HKEY opened = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, key.c_str(), 0, KEY_ALL_ACCESS, &opened) != ERROR_SUCCESS) {
    return false;
  }
  LONG set =
      RegSetValueExA(opened, name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(data.c_str()),
                     static_cast<DWORD>(data.size() + 1));
  RegCloseKey(opened);
  return set == ERROR_SUCCESS;
}

}  // namespace os
