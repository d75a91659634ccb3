#include "os/glob.h"

#include <fnmatch.h>

namespace os {

bool GlobMatches(const std::string& pattern, const std::string& text) {
  // fnmatch reads C strings: a pattern or a name holding a NUL (which no
  // file name does) matches nothing.
  if (pattern.find('\0') != std::string::npos || text.find('\0') != std::string::npos) {
    return false;
  }
  return ::fnmatch(pattern.c_str(), text.c_str(), 0) == 0;
}

}  // namespace os
