// Replacing or deleting a file in use at the next start of the system: a
// delayed move on Windows NT, a line in a rename list on Windows 9x.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace repair {

// GetVersionExA's platform is Windows NT.
bool IsWindowsNt();

// Records that `source` takes the place of `destination` at the next restart,
// or that `source` is deleted then when there is no destination. True when
// the request is recorded (or was already); false when refused or failed.
bool ReplaceAtRestart(const std::optional<std::string>& destination, const std::string& source);

// The rename line for one request: destination (or "NUL"), "=", source,
// CR LF, each name quoted when it holds a blank.
std::string RenameLine(const std::optional<std::string>& destination, const std::string& source);

// Whether a request must go to the program's own list "WININI32.INI": a
// destination with a blank, or a source component too long for an 8.3 name.
bool NeedsLongNameList(const std::optional<std::string>& destination, const std::string& source);

// The rename list's text with `line` added directly under its "[rename]"
// header (which is appended when the text has none). nullopt when the line
// is there already, so the file stays as it is.
std::optional<std::string> AddRenameLine(std::string_view text, std::string_view line);

}  // namespace repair
