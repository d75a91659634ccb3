// The one-line progress display on standard error while a scan runs: files
// handled, their rate and the folder in work, redrawn at most every 100 ms.
#pragma once

namespace cli::progress {

// Shows progress from now on: hooks the walk's per-file call.
void Start();
// Clears the line so that other output to the terminal starts at its left
// edge; the next redraw brings it back. Nothing happens when none is shown.
void Erase();
// Unhooks the walk and leaves, in place of the line, how many files were
// handled in how long.
void Finish();

}  // namespace cli::progress
