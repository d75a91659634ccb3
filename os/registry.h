// The one registry write our programs make: a string value under an existing
// key of the local machine.
#pragma once

#include <string>

namespace os {

// Sets the value `name` of the key `key` under HKEY_LOCAL_MACHINE to `data`
// as a REG_SZ string, its terminating zero included. The key is opened with
// full access and never created. False when the key cannot be opened or the
// value cannot be set; always false on POSIX, which has no registry.
bool SetMachineStringValue(const std::string& key, const std::string& name,
                           const std::string& data);

}  // namespace os
