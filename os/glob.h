// Shell patterns, as users write them after --exclude: "*.bak", "/mnt/*",
// "[Tt]emp".
#pragma once

#include <string>

namespace os {

// Whether `text` matches the shell pattern `pattern` as fnmatch(3) with no
// flags matches it: "*" any run of bytes ("/" too), "?" any one byte,
// "[...]" one byte of a set ("[!...]" or "[^...]" one outside it, "a-z" a
// range); case counts. POSIX: a backslash takes the next byte as it is.
// Win32: a backslash is the path separator, and stands for itself.
bool GlobMatches(const std::string& pattern, const std::string& text);

}  // namespace os
