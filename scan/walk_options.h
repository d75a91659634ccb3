// What a walk leaves out: names and paths the user excluded, folders on
// other file systems, and the scan's own backup folder. A value of the scan
// (ScanSeams::walk), so that every front end on the same scan excludes alike.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace scan {

struct WalkOptions {
  // Shell patterns (fnmatch(3), no flags), each matched against a file's
  // name and against its whole path as its status line shows it.
  std::vector<std::string> excludeFiles;
  // The same for folders: a folder that matches is not entered.
  std::vector<std::string> excludeFolders;
  // Folders on another device than the root they were reached from are not
  // entered (POSIX; on Win32 every folder counts as on one device).
  bool oneFileSystem = false;
};

// Whether one of `globs` matches `name` or `shown`.
bool MatchesAnyGlob(const std::vector<std::string>& globs, const std::string& name,
                    const std::string& shown);

// The ending by which a file in the backup folder is one of its backups.
inline constexpr std::string_view kBackupEnding = ".kzb";

}  // namespace scan
