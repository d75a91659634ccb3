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

// `text` with every control character shown as '?', so that a file name
// cannot move the cursor or change the terminal's state.
std::string Printable(std::string_view text);

}  // namespace cli
