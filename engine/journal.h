// The rollback journal of one repair: everything needed to put a file back
// exactly as it was, written and flushed beside the file before its first
// byte changes, and removed once the repair is verified. A journal left by a
// run that was killed tells the next run what to undo.
//
// Two kinds:
//   - InPlace: the file itself is being repaired. The journal holds its
//     original length, attributes, the original (and new) bytes of every
//     place written, and the tail that the cut removes.
//   - Copy: a copy of an in-use file is being made and repaired, to replace
//     the file at the next restart. Undoing it removes the copy and gives the
//     file its attributes back.
//
// The journal of a file NAME is NAME.kzj in the same folder.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "os/file_ops.h"
#include "os/write_faults.h"

namespace engine {

inline constexpr std::string_view kJournalSuffix = ".kzj";

// The journal's path for a file's path.
std::string JournalPathFor(const std::string& path);
// The file a journal belongs to; empty when `journalPath` is no journal's name.
std::string TargetOfJournal(const std::string& journalPath);

struct JournalRegion {
  uint64_t offset = 0;
  std::vector<uint8_t> before;  // what the file held there
  std::vector<uint8_t> after;   // what the repair writes there (as long)
};

struct Journal {
  enum class Kind : uint32_t { InPlace = 1, Copy = 2 };
  Kind kind = Kind::InPlace;
  // Names inside the journal's own folder (no folder part), so that a folder
  // moved after a crash still finds them. InPlace: the repaired file. Copy:
  // the in-use file that the copy replaces.
  std::string file;
  // Copy: the copy being made.
  std::string copy;
  // The file's attributes before anything was done to it, when known.
  std::optional<os::FileAttributes> attributes;
  uint64_t oldLength = 0;
  uint64_t newLength = 0;
  std::vector<JournalRegion> regions;
  std::vector<uint8_t> tail;  // the bytes from newLength to oldLength
};

// The journal as bytes, ending in a check over all of them, so that one cut
// short by a crash is told apart from a whole one.
std::vector<uint8_t> EncodeJournal(const Journal& journal);
// nullopt for bytes that are no whole journal (cut short, damaged, or
// anything else).
std::optional<Journal> DecodeJournal(const std::vector<uint8_t>& bytes);

// Writes the journal to a new file at `journalPath` (never over another) and
// waits until it, and its name in the folder, are on the disk. On failure
// nothing is left at `journalPath` (unless the disk stopped during it, which
// leaves a journal that does not decode).
bool WriteJournal(const std::string& journalPath, const Journal& journal, os::WriteFaults* faults);

enum class JournalRead {
  Missing,  // no journal there
  Torn,     // a journal that does not decode: cut short before it was whole
  Whole,
  Unreadable,  // there, but it cannot be read
};
JournalRead ReadJournal(const std::string& journalPath, Journal& journal);

// Removes the journal and waits until its removal is on the disk.
bool RemoveJournal(const std::string& journalPath, os::WriteFaults* faults);

}  // namespace engine
