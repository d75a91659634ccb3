// The fate of one file: tested, and by the action mode or the user's answer
// left, cleaned in place, or cleaned as a copy that replaces it at restart.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "os/directory.h"

#include "scan/scan.h"

namespace scan {

// Handles the file named by `objectPath` (long names) and `objectShortPath`
// (short names) and records exactly one outcome. Returns 0 only when the user
// answered Quit (nothing is recorded then), else 1. A repair of the file that
// a killed run left half-way (its journal beside it) is undone first, in
// every action mode, and the user is told.
int HandleObject(Scan& scan);

// What becomes of an infected object by the action mode, asking the user
// (in objectPath) in "Ask user": cleaned, left infected ("Scan only" or a Skip
// answer), left because no object may be changed any more, or the scan stops
// (a Quit answer). HandleObject's decision, for objects it does not open
// itself, such as files inside disk images and archives.
enum class Decision { Clean, LeaveInfected, Barred, Quit };
Decision DecideOnInfected(Scan& scan);
// The same, asking about the object by its whole path `shown`, of any length.
Decision DecideOnInfected(Scan& scan, std::string_view shown);

// Undoes what the journal `journalName` of `folder` records of an
// interrupted repair (see engine/repair_transaction.h) and tells the user what
// was done, naming the file `shown` (its path as the user sees it; the
// journal is shown as `shown` and the journal's ending). A journal that is
// not provably ours ("untrusted journal: ..."), one a running cleaning holds,
// and one that cannot be carried out are left as they are, said on the
// message seam, and counted as not scanned with a status line of their own.
// False when the journal is there and was not carried out.
// A scan that may not change files (scan only, or changes barred) carries
// out no journal: one that a cleaning run would carry out is said (the
// reason kInterruptedCleaning, under `shown`), `halfway` is set, and the
// caller counts the file as not scanned, for it is neither as it was nor
// clean.
bool RecoverInterruptedRepair(Scan& scan, const os::Folder& folder, const std::string& journalName,
                              const std::string& shown, bool* halfway = nullptr);

// Whether the scan's action mode lets it change files at all.
bool MayChangeFiles(const Scan& scan);
inline constexpr char kInterruptedCleaning[] =
    "interrupted cleaning: run with --clean to finish it";
// The same for the journal at `journalPath`, in the folder where its path
// leads (a symbolic link at the path of the file it is for is followed
// first: a journal lies beside the real file).
bool RecoverInterruptedRepair(Scan& scan, const std::string& journalPath,
                              const std::string& shown = "");

// One file named for handling where the path buffers cannot name it: a path
// longer than they hold, or a name that reaches it only from the current
// directory (the walk by folder handles).
struct ObjectNames {
  std::string shown;      // its full path by long names, of any length: its status line
  std::string path;       // the name it is opened, tested and cleaned by
  std::string shortPath;  // a second name to open it by for the test, or empty
  // The walk has undone every journal of the file's folder already: no need
  // to look for one beside the file.
  bool journalsDone = false;
  // The file's folder, held open, and its name there: the test opens it
  // through the folder, the cheapest way in for a thread that did not walk.
  std::shared_ptr<const os::Folder> folder;
  std::string name;
  // What the test opened: the file a repair must find again (TestObject).
  std::optional<os::FileIdentity> identity;
};

// HandleObject for a file named so. objectPath and objectShortPath are set
// from `shown` (cut, and marked so, when it does not fit) and `shortPath`
// (empty when it does not fit) first, for the prompt and the progress
// display; the outcome is recorded under `shown`.
int HandleObjectNamed(Scan& scan, const ObjectNames& names);

// HandleObjectNamed in its two halves, for a front end that tests files on
// several threads and acts on them in order on one.
//
// The test: a journal beside the file is carried out first (unless
// names.journalsDone), then the file is opened (never through a link in its
// folder, never waiting) and tested; names.identity is what was opened. Ok,
// Infected or CannotOpen; records nothing.
ScanOutcome TestObject(Scan& scan, ObjectNames& names);
// What the action mode, or the user's answer, does with an infected file:
// nothing (Infected), a repair and its outcome; nullopt for a Quit answer.
// Records nothing; the prompt reads objectPath, which the caller sets.
std::optional<ScanOutcome> ActOnInfected(Scan& scan, const ObjectNames& names);

// The name of the cleaned copy of an in-use file: `path` with its last
// character advanced ('z' to 'a', 'Z' to 'A', else the next code), stepping
// on past characters that cannot end a file name; `attempt` > 0 steps that
// many more times, for when the first name is taken. Empty when there is no
// such name.
std::string CopyNameFor(const std::string& path, int attempt);

}  // namespace scan
