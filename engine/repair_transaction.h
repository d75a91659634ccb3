// A repair as one transaction: planned in full, journaled and flushed before
// the first write, written and flushed, read back and verified, and only then
// committed by removing the journal. Any failure on the way (a refused plan,
// a write, a full disk, a repair that does not verify) puts the file back as
// it was; a run killed on the way leaves a journal, and the next run that
// meets the file puts it back (RecoverFromJournal).
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "engine/journal.h"
#include "engine/repair_plan.h"
#include "os/directory.h"
#include "os/file.h"
#include "os/write_faults.h"

namespace engine {

struct RepairSettings {
  // Works out the repair of an open file; the engine's own by default.
  PlanResult (*plan)(os::ByteSource& file) = PlanRepair;
  // Keeps a copy of the infected file, read through the repair's own open
  // handle, before its first change; false stops the repair. None: no copy
  // is kept.
  std::function<bool(os::File& file)> keepBackup;
  // A failing disk, for tests.
  os::WriteFaults* faults = nullptr;
};

enum class RepairStatus {
  Cleaned,  // repaired, verified, committed
  InUse,    // the file cannot be opened for writing: nothing was changed
  Refused,  // the file cannot be repaired (see `detail`): nothing was changed
  NotDone,  // a step failed; the file was put back as it was (or, where even
            // that failed, its journal stays for the next run)
};

struct RepairOutcome {
  RepairStatus status = RepairStatus::NotDone;
  std::string detail;  // why, in words for a user, when not Cleaned
};

// Repairs the file `name` of `folder` in place. It is opened once, never
// through a link, and must be a regular file that is `seen` (the file the
// scan tested, when given), not locked by another program, and, in a folder
// that others can write, of one name only; every write, cut, flush, read-back
// and change of mode goes through that handle. The file's read-only mark is
// cleared for the repair and put back afterwards, whatever the outcome but
// InUse (then the mark stays cleared, so that a copy can take the file's
// place at the next restart; `clearedFrom` holds the attributes it had).
RepairOutcome RepairInPlace(const os::Folder& folder, const std::string& name,
                            const std::optional<os::FileIdentity>& seen,
                            const RepairSettings& settings,
                            std::optional<os::FileAttributes>* clearedFrom);
// The same for the file at `path` (its folder opened by the path's folder
// part, as the system resolves it).
RepairOutcome RepairInPlace(const std::string& path, const RepairSettings& settings,
                            std::optional<os::FileAttributes>* clearedFrom);

// The file `name` of `folder` is in use: a copy `copy` (a free name beside
// it) is made, repaired and verified, and `schedule(name, copy)` asks for it
// to take the file's place at the next restart. The copy is removed again on
// every way that does not end in Cleaned, and the file then gets `attributes`
// (its attributes before the scan cleared its read-only mark) back; a run
// killed on the way leaves a journal by which the next run does the same.
RepairOutcome RepairAsCopy(
    const os::Folder& folder, const std::string& name, const std::string& copy,
    std::optional<os::FileAttributes> attributes, const std::optional<os::FileIdentity>& seen,
    const std::function<bool(const std::string& name, const std::string& copy)>& schedule,
    const RepairSettings& settings);
// The same by paths: `copy` lies in the folder of `path`; `schedule` gets
// both paths.
RepairOutcome RepairAsCopy(
    const std::string& path, const std::string& copy, std::optional<os::FileAttributes> attributes,
    const std::function<bool(const std::string& path, const std::string& copy)>& schedule,
    const RepairSettings& settings);

// The repaired file read again: a PE image whose entry point carries no body,
// of the planned length, holding every planned write, and with a true header
// checksum where it holds one, summed anew over what the file now holds.
bool VerifyRepair(os::ByteSource& file, const RepairPlan& plan);

enum class Recovery {
  None,       // no journal there
  PutBack,    // a file was put back as it was before an interrupted repair
  CopyGone,   // an unfinished copy of an in-use file was removed
  Discarded,  // a journal cut short while being written: nothing had changed yet
  Failed,     // a journal that could not be carried out: it stays, and `detail` says why
  Untrusted,  // a journal that is not provably ours, or names what it did not
              // journal: nothing is touched, it stays, and `detail` says why
  Busy,       // a cleaning that runs now holds it: left alone
  Pending,    // only checking: a journal that a cleaning run would carry out;
              // it and its files are left as they are
};

struct RecoveryResult {
  Recovery what = Recovery::None;
  std::string detail;
};

// Carries out the journal `journalName` of `folder`, if there is one and it
// can be ours (engine::ReadJournal), and removes it. The files it names are
// opened relative to the folder, never through a link, and must be the very
// files it journaled (device, inode, owner); a mode is put back on the open
// file, never with set-ID or sticky bits that the file did not have then; a
// copy is removed only when it is the copy the journal made. A mode is only
// ever taken away (the write bits the repair gave a read-only file), never
// given. With `onlyCheck` (a scan that writes nothing), the journal and its
// files are read and checked but nothing is written: Pending where the
// first write would have been.
RecoveryResult RecoverFromJournal(const os::Folder& folder, const std::string& journalName,
                                  os::WriteFaults* faults, bool onlyCheck = false);
// The same for the journal at `journalPath`.
RecoveryResult RecoverFromJournal(const std::string& journalPath, os::WriteFaults* faults);

// Puts the open `file` back as an InPlace `journal` says it was: its bytes
// where they differ (each region's, then its length and tail), then its
// attributes. False, with nothing written, when the file holds anything but
// what the repair or its undoing can leave (something else changed it);
// false too when a write fails. Safe to repeat after a crash in the middle.
bool PutBackFromJournal(os::File& file, const Journal& journal, os::WriteFaults* faults);

}  // namespace engine
