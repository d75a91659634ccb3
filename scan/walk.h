// The depth-first walk of one root, and the filter that picks the files it
// hands to per-object handling. Two ways to walk, one way to deal with what
// they meet: the Windows program's walk moves the current directory by path
// within the 259-character buffers; the walk by folder handles (the
// command-line cleaner's) goes as deep as the system allows.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "os/directory.h"
#include "scan/handle_object.h"
#include "scan/scan.h"

namespace scan {

// True for names ending in ".exe" and for the names "Kernel32.dll" and
// "Krized.tt6", ignoring the case of ASCII letters. `ending` is the last four
// characters of the long name (empty for a shorter name).
bool IsSelectedFileType(std::string_view ending, std::string_view name);

// Walks the process's current directory, whose path `dirPath` holds, handing
// each file that passes the filter to HandleObject. Every folder but "." and
// ".." is walked; a folder that cannot be listed or entered, or whose path
// fits the buffers by neither of its names, is reported "cannot open". A file
// whose long path does not fit is handled by its short path. Returns 1 when
// the walk completed, 0 when it stopped early: a stop request (consumed
// here) or a Quit answer.
//
// Both walks leave out, with no status line (RecordExcluded), the scan's own
// backup folder (ScanSeams::repair), wherever they meet it, the root too,
// and what ScanSeams::walk excludes: files and folders by their names and
// paths, and with oneFileSystem the folders on another device than the
// root's.
int WalkDirectory(Scan& scan);

enum class RootResult { Completed, Stopped, CannotEnter };

// Walks one root the way the scan controller does: `root` becomes rootPath,
// the current directory and dirPath, WalkDirectory runs, and the previous
// current directory is restored. CannotEnter (nothing reported) when the root
// is too long for the path buffers or cannot be made the current directory.
RootResult WalkRoot(Scan& scan, const std::string& root);

// Walks the folder `root` (a path from the current directory) by folder
// handles: no path length limits it, and a folder moved while it is walked
// is walked to its end. Status lines name everything below `shown`, the
// root's path as the user should see it. A folder that cannot be opened,
// listed or entered, the root too, is reported "cannot open" (the root:
// CannotEnter). The current directory is restored afterwards.
RootResult WalkTree(Scan& scan, const std::string& root, const std::string& shown);

// For a front end that handles files elsewhere, on other threads: a file the
// walk met, named so that any thread reaches it while names.folder is held
// (names.path is os::Folder::PathOf, names.name its name in the folder).
// False stops the walk.
using FileVisitor = std::function<bool(const ObjectNames& names)>;

// WalkTree, handing each file that passes the filter to `visit` instead of
// per-object handling. Journals are carried out, and folders that cannot be
// opened reported, through `scan` as in WalkTree.
RootResult WalkTreeVisiting(Scan& scan, const std::string& root, const std::string& shown,
                            const FileVisitor& visit);

// Whether the folder `path` is the scan's own backup folder
// (ScanSeams::repair), known by its identity, not by its name. A walk never
// enters that folder, nor walks it as a root: it leaves it out, counted.
bool IsBackupFolder(const Scan& scan, const std::string& path);

// Whether the file `name` in the folder `folder` is one of the scan's own
// backups: a name ending in ".kzb" in its backup folder. Such a file is never
// cleaned.
bool IsOwnBackup(const Scan& scan, const std::string& folder, std::string_view name);

// Handles one named file as a scan object: opened by `path`, shown as
// `shown`; the short path is the system's for `path`. Returns HandleObject's
// answer.
int HandleNamedFile(Scan& scan, const std::string& path, const std::string& shown);

}  // namespace scan
