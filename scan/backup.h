// Backups on request: each infected original is kept in a folder of the
// user's choice before it is cleaned, with a line in the folder's manifest.
#pragma once

#include <optional>
#include <string>
#include <utility>

#include "os/directory.h"
#include "os/file.h"
#include "os/write_faults.h"
#include "scan/manifest.h"

namespace scan {

// The SHA-256 (in lower-case hexadecimal) and size of what `file` holds;
// nullopt when it cannot be read.
std::optional<std::pair<std::string, uint64_t>> HashOf(os::ByteSource& file);

// The name a kept copy of `name` (a file's last component) gets, before any
// number that keeps it apart from another: NAME.HASH12.kzb, where HASH12 is
// the first 12 digits of the file's SHA-256, and NAME has its control
// characters and "%" written as "%XX", so that the name stays on its
// manifest line. It never ends in a name that Windows would run.
std::string BackupName(const std::string& name, const std::string& sha256, int attempt);

// Keeps a copy of the open `file` in `folder`, made anew (never over
// another file, never through a link there) with the original's permissions
// or stricter, and appends its manifest line, which names it by `original`
// (its path as the user knows it). The manifest is made anew, or appended to
// only when it is ours (a regular file with one name, owned by the running
// user or the superuser). Several threads may keep backups in one folder at
// once; both are on the disk when this returns true. The copy is read back
// and compared by its hash.
bool KeepBackup(const os::Folder& folder, os::File& file, const std::string& original,
                os::WriteFaults* faults);
// The same with the folder at the path `folder`.
bool KeepBackup(const std::string& folder, os::File& file, const std::string& original,
                os::WriteFaults* faults);

}  // namespace scan
