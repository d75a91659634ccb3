#include "os/registry.h"

namespace os {

// POSIX has no registry: nothing can be registered to run at the next start.
bool SetMachineStringValue(const std::string&, const std::string&, const std::string&) {
  return false;
}

}  // namespace os
