// What krizclean needs to know about the terminal it writes to.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace cli {

bool StandardInputIsTerminal();
bool StandardErrorIsTerminal();
bool StandardOutputIsTerminal();
// Standard output and standard error write to the same terminal, so a line
// on one must not land in the middle of a line redrawn on the other.
bool OutputsShareTerminal();
// The width of the terminal on standard error; 80 when it cannot be told.
size_t TerminalColumns();

// `text` as one line that cannot move the cursor or change a terminal's
// state, and from which the exact bytes can be told: a backslash is doubled,
// line feed, carriage return and tab are written \n, \r and \t, and every
// other control character (C0, DEL, and C1 in UTF-8) is \xHH per byte. Other
// bytes, also those that are not UTF-8, are written as they are.
std::string Escaped(std::string_view text);

}  // namespace cli
