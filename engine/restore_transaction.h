// An infected original put back from its backup, the way a repair is made:
// every change worked out first, journaled and flushed before the first
// write, written, read back and compared, and committed by removing the
// journal. A run killed on the way leaves the journal, by which the next run
// that meets the file (a scan or a restore) puts back the cleaned file.
#pragma once

#include <string>

#include "os/byte_source.h"
#include "os/directory.h"
#include "os/write_faults.h"

namespace engine {

// Whether `now` holds exactly what the repair makes of `infected`: the
// cleaned file that a backup of `infected` was kept for.
bool IsCleanFormOf(os::ByteSource& now, os::ByteSource& infected);

enum class RestoreStatus {
  Restored,      // the file holds the backup's bytes, verified and committed
  AlreadyThere,  // it held them already: nothing was written
  ChangedSince,  // it is not the cleaned form of the backup: left as it is
  Gone,          // there is no file of that name any more: none is made
  NotDone,       // see `detail`: the file is as it was (or, where even putting
                 // it back failed, its journal stays for the next run)
};

struct RestoreOutcome {
  RestoreStatus status = RestoreStatus::NotDone;
  std::string detail;  // why, in words for a user, when NotDone
};

struct RestoreSettings {
  // Put the backup back even over a file that is not its cleaned form.
  bool force = false;
  // A failing disk, for tests.
  os::WriteFaults* faults = nullptr;
};

// Puts the bytes of `backup` (the kept original, already checked against
// its manifest line) into the file `name` of `folder`, in place: the file
// keeps its name, owner, mode and other names. It is opened once, never
// through a link, must be a regular file that no other program has locked
// and, in a folder that others can write, of one name only; every write goes
// through that handle.
RestoreOutcome RestoreInPlace(const os::Folder& folder, const std::string& name,
                              os::ByteSource& backup, const RestoreSettings& settings);

}  // namespace engine
