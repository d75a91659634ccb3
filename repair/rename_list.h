// The text of a Windows 9x rename list: a "[rename]" CR LF header, then one
// line "destination=source" CR LF per request, newest first. Text only: the
// files that hold these lists are read and written in restart.cpp.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace repair {

// A path in a rename line: 259 characters at most.
inline constexpr size_t kMaxNameLength = 259;
// Two quoted names of the longest kind, "=", CR LF: what the boot-time rename
// program's line buffer is made to hold.
inline constexpr size_t kMaxRenameLineLength = 2 * (kMaxNameLength + 2) + 1 + 2;
// A rename list holds a few lines; a larger file is taken for something else
// and refused rather than read whole into memory.
inline constexpr size_t kMaxRenameListSize = size_t{1} << 20;
inline constexpr std::string_view kRenameHeader = "[rename]\r\n";

// The rename line for one request: destination (or "NUL"), "=", source,
// CR LF. A name that holds a blank is quoted; a quoted destination quotes the
// source too, since the boot-time program reads a quoted destination only
// before a quoted source. When either name holds an "=", both are quoted.
std::string RenameLine(const std::optional<std::string>& destination, const std::string& source);

// Whether a request must go to the program's own list "WININI32.INI" rather
// than the system's "WININIT.INI": either name holds an "=", its destination
// holds a blank, or a component of its source (after the drive's "X:\") is
// longer than an 8.3 name allows. Only lengths count, not the characters.
bool NeedsLongNameList(const std::optional<std::string>& destination, const std::string& source);

// Whether the boot-time rename program carries a request of WININI32.INI out
// as written: it looks for the closing quote of a deletion's quoted source
// only among the 80 characters after the opening one, and skips the line
// when it is not there. A longer quoted source would be reported scheduled
// and never deleted.
inline constexpr size_t kMaxQuotedDeletionSource = 79;
bool BootProgramCarriesOut(const std::optional<std::string>& destination,
                           const std::string& source);

enum class ListEdit {
  Added,          // `text` holds the new list
  AlreadyListed,  // the line is in the section already: the list stays as it is
  Refused,        // not a list we edit, or not one rename line: the list stays as it is
};

struct RenameListEdit {
  ListEdit result = ListEdit::Refused;
  std::string text;  // the whole new list when Added, else empty
};

// Puts `line` directly under the first "[rename]" CR LF found anywhere in
// `text`; without one, that header is appended to the very end (no line break
// is put before it) and the line after it. The line counts as listed when it
// occurs between the start of the text and the first "[" after the header.
// Refused: a text with a zero byte or larger than kMaxRenameListSize, or a
// `line` that is not one line with "=" ended by CR LF of at most
// kMaxRenameLineLength bytes.
RenameListEdit AddRenameLine(std::string_view text, std::string_view line);

}  // namespace repair
