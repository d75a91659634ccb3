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
// other control character (C0, DEL, and C1 in UTF-8) is \xHH per byte, and so
// is every byte that is not part of well-formed UTF-8 (a lone 0x9B is an
// 8-bit escape introducer to some terminals). The one rule for every name
// and message krizclean prints; the JSON and the manifest keep their own
// exact forms.
std::string Escaped(std::string_view text);

}  // namespace cli
