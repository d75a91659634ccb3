// Backups on request: each infected original is kept in a folder of the
// user's choice before it is cleaned, with a line in the folder's manifest.
#pragma once

#include <optional>
#include <string>

#include "os/write_faults.h"

namespace scan {

// The manifest's name in the backup folder. One line per kept file:
//   BACKUP-NAME TAB SIZE TAB SHA-256 TAB ORIGINAL-PATH
// where ORIGINAL-PATH has its control characters and "%" written as "%XX"
// (two hexadecimal digits), so that each file takes exactly one line.
inline constexpr char kManifestName[] = "manifest.txt";

// The name a kept copy of `name` (a file's last component) gets, before any
// number that keeps it apart from another: NAME.HASH12.kzb, where HASH12 is
// the first 12 digits of the file's SHA-256. It never ends in a name that
// Windows would run.
std::string BackupName(const std::string& name, const std::string& sha256, int attempt);

// Keeps a copy of the file at `path` in `folder` (which must exist), never
// over another file, and appends its manifest line, which names it by
// `original` (its path as the user knows it; `path` may name it through a
// folder handle); several threads may keep backups in one folder at once; both are on the disk
// when this returns true. The copy is read back and compared by its hash.
bool KeepBackup(const std::string& folder, const std::string& path, const std::string& original,
                os::WriteFaults* faults);

}  // namespace scan
