// The fate of one file: tested, and by the action mode or the user's answer
// left, cleaned in place, or cleaned as a copy that replaces it at restart.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "engine/repair_plan.h"
#include "os/file.h"
#include "os/write_faults.h"

namespace scan {

// The infection prompt's answers; any other value counts as Skip.
enum class PromptChoice : int32_t {
  Disinfect = 102,
  Skip = 103,
  Quit = 104,
};

// Asks the user about the infected object in `objectPath`. Each front end
// supplies its own (a dialog, a question on the terminal).
using InfectionPrompt = int32_t (*)();
// nullptr restores the default, which answers Skip.
void SetInfectionPrompt(InfectionPrompt prompt);

// The steps of cleaning that tests replace to reach every outcome: the
// engine's plan of a repair, whether a cleaned object is to be deleted
// rather than kept (the engine never asks that), and the scheduling at
// restart.
struct CleaningActions {
  engine::PlanResult (*plan)(os::ByteSource& file) = nullptr;
  bool (*deleteInstead)(const std::string& path) = nullptr;
  bool (*replaceAtRestart)(const std::optional<std::string>& destination,
                           const std::string& source) = nullptr;
};
// A null member restores that step's default.
void SetCleaningActions(const CleaningActions& actions);

// How repairs are made, beyond the engine's own: a folder that keeps each
// infected original before it is cleaned (empty: none), and a failing disk
// for tests.
struct RepairOptions {
  std::string backupFolder;
  os::WriteFaults* faults = nullptr;
};
// Set before a scan starts, never while one runs.
void SetRepairOptions(const RepairOptions& options);

// Handles the file named by `objectPath` (long names) and `objectShortPath`
// (short names) and records exactly one outcome. Returns 0 only when the user
// answered Quit (nothing is recorded then), else 1. A repair of the file that
// a killed run left half-way (its journal beside it) is undone first, in
// every action mode, and the user is told.
int HandleObject();

// What becomes of an infected object by the action mode, asking the user
// (in objectPath) in "Ask user": cleaned, left infected ("Scan only" or a Skip
// answer), left because no object may be changed any more, or the scan stops
// (a Quit answer). HandleObject's decision, for objects it does not open
// itself, such as files inside disk images and archives.
enum class Decision { Clean, LeaveInfected, Barred, Quit };
Decision DecideOnInfected();

// Undoes what the journal at `journalPath` records of an interrupted repair
// (see engine/repair_transaction.h) and tells the user what was done, naming
// the file `shown` (by default the journal's file). False when the journal
// is there and could not be carried out.
bool RecoverInterruptedRepair(const std::string& journalPath, const std::string& shown = "");

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
};

// HandleObject for a file named so. objectPath and objectShortPath are set
// from `shown` (cut, and marked so, when it does not fit) and `shortPath`
// (empty when it does not fit) first, for the prompt and the progress
// display; the outcome is recorded under `shown`.
int HandleObjectNamed(const ObjectNames& names);

// The name of the cleaned copy of an in-use file: `path` with its last
// character advanced ('z' to 'a', 'Z' to 'A', else the next code), stepping
// on past characters that cannot end a file name; `attempt` > 0 steps that
// many more times, for when the first name is taken. Empty when there is no
// such name.
std::string CopyNameFor(const std::string& path, int attempt);

}  // namespace scan
