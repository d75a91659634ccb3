#include "scan/walk_options.h"

#include "os/glob.h"

namespace scan {

bool MatchesAnyGlob(const std::vector<std::string>& globs, const std::string& name,
                    const std::string& shown) {
  for (const std::string& glob : globs) {
    if (os::GlobMatches(glob, name) || os::GlobMatches(glob, shown)) return true;
  }
  return false;
}

}  // namespace scan
