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
#include "os/file_ops.h"
#include "os/write_faults.h"

namespace engine {

struct RepairSettings {
  // Works out the repair of an open file; the engine's own by default.
  PlanResult (*plan)(os::ByteSource& file) = PlanRepair;
  // Keeps a copy of the infected file at `path` before its first change;
  // false stops the repair. None: no copy is kept.
  std::function<bool(const std::string& path)> keepBackup;
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

// Repairs the file at `path` in place. The file's read-only mark is cleared
// for the repair and put back afterwards, whatever the outcome but InUse
// (then the mark stays cleared, so that a copy can take the file's place at
// the next restart; `clearedFrom` holds the attributes it had).
RepairOutcome RepairInPlace(const std::string& path, const RepairSettings& settings,
                            std::optional<os::FileAttributes>* clearedFrom);

// The file at `path` is in use: a copy at `copy` (a free name beside it) is
// made, repaired and verified, and `schedule(path, copy)` asks for it to take
// the file's place at the next restart. The copy is removed again on every
// way that does not end in Cleaned, and the file then gets `attributes` (its
// attributes before the scan cleared its read-only mark) back; a run killed on
// the way leaves a journal by which the next run does the same.
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
};

struct RecoveryResult {
  Recovery what = Recovery::None;
  std::string detail;
};

// Carries out the journal at `journalPath`, if there is one, and removes it.
RecoveryResult RecoverFromJournal(const std::string& journalPath, os::WriteFaults* faults);

// Puts the file at `path` back as an InPlace `journal` says it was: its bytes
// where they differ (each region's, then its length and tail), then its
// attributes. False, with nothing written, when the file holds anything but
// what the repair or its undoing can leave (something else changed it);
// false too when a write fails. Safe to repeat after a crash in the middle.
bool PutBackFromJournal(const std::string& path, const Journal& journal, os::WriteFaults* faults);

}  // namespace engine
