#include "os/glob.h"

#include <fnmatch.h>

#include <string>

namespace os {

bool GlobMatches(std::string_view pattern, std::string_view text) {
  // fnmatch reads C strings: a pattern or a name holding a NUL (which no
  // file name does) matches nothing.
  if (pattern.find('\0') != std::string_view::npos || text.find('\0') != std::string_view::npos) {
    return false;
  }
  return ::fnmatch(std::string(pattern).c_str(), std::string(text).c_str(), 0) == 0;
}

}  // namespace os
