// The depth-first walk of one root, and the filter that picks the files it
// hands to per-object handling.
#pragma once

#include <string>
#include <string_view>

namespace scan {

// True for names ending in ".exe" and for the names "Kernel32.dll" and
// "Krized.tt6", ignoring the case of ASCII letters. `ending` is the last four
// characters of the long name (empty for a shorter name).
bool IsSelectedFileType(std::string_view ending, std::string_view name);

// Walks the process's current directory, whose path `dirPath` holds, handing
// each file that passes the filter to HandleObject. Returns 1 when the walk
// completed (also when the directory cannot be listed), 0 when it stopped
// early: a stop request (consumed here) or a Quit answer.
int WalkDirectory();

enum class RootResult { Completed, Stopped, CannotEnter };

// Walks one root the way the scan controller does: `root` becomes rootPath,
// the current directory and dirPath, WalkDirectory runs, and the previous
// current directory is restored. CannotEnter when the root is too long for
// the path buffers or cannot be made the current directory.
RootResult WalkRoot(const std::string& root);

// Handles one named file as a scan object (objectPath = `path`, objectShort-
// Path = its short path). A path too long for objectPath is recorded
// "cannot open" without being touched. Returns HandleObject's answer.
int HandleNamedFile(const std::string& path);

// Called for each file just before it is handled, with objectPath set; lets a
// front end show progress without touching the walk. nullptr for none.
using ObjectHook = void (*)();
void SetObjectHook(ObjectHook hook);

}  // namespace scan
