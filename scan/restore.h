// Originals put back from a backup folder (--backup DIR): each one the
// manifest lists, or those under given paths, as one journaled change of the
// file in place (engine/restore_transaction.h), recorded in the manifest.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "os/directory.h"
#include "os/write_faults.h"
#include "scan/manifest.h"

namespace scan {

enum class RestoreResult {
  Restored,         // the file holds its original again
  AlreadyRestored,  // it held it already
  ChangedSince,     // it is not what cleaning made of its original: kept as it is
  Gone,             // no file has its name any more: none is made
  BackupMissing,    // the backup is not in the folder
  BackupDamaged,    // the backup's size or SHA-256 is not its manifest line's
  NotRestored,      // see the reason: the file is as it was
};

// "restored", "already restored", "changed since, kept", ...
std::string_view RestoreResultText(RestoreResult result);

// The lines to put back: for each original under one of `under` (paths as
// the manifest holds them: whole; all originals when `under` is empty), the
// last one kept, in the manifest's order. `unmatched` gets each of `under`
// that no line is under.
std::vector<ManifestLine> LinesToRestore(const Manifest& manifest,
                                         const std::vector<std::string>& under,
                                         std::vector<std::string>* unmatched);

struct RestoredFile {
  RestoreResult result = RestoreResult::NotRestored;
  std::string reason;  // NotRestored: why, in words for a user; else a note or empty
};

// Puts back the original of `line` from the folder `backups` (checked as a
// backup folder: ours, not writable by others): the backup is checked
// against the line first, a journal left beside the file is carried out
// first, and a file that is not the cleaned form of the backup is kept
// unless `force`. A restored file gets a "restored" line in the manifest.
RestoredFile RestoreFromBackup(const os::Folder& backups, const ManifestLine& line, bool force,
                               os::WriteFaults* faults);

}  // namespace scan
