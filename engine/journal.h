// The rollback journal of one repair: everything needed to put a file back
// exactly as it was, written and flushed beside the file before its first
// byte changes, and removed once the repair is verified. A journal left by a
// run that was killed tells the next run what to undo.
//
// Two kinds:
//   - InPlace: the file itself is being repaired (or put back from its
//     backup). The journal holds its original length, attributes, the
//     original (and new) bytes of every place written, and the tail that a
//     cut removes; a restore that lengthens the file has no tail, and its
//     undoing cuts the file back to its original length.
//   - Copy: a copy of an in-use file is being made and repaired, to replace
//     the file at the next restart. Undoing it removes the copy and gives the
//     file its attributes back.
//   - Guest: a file inside a virtual machine's disk is being cleaned. Its
//     regions are the guest disk's bytes, by the guest's offsets (not the
//     image file's), and are put back only through the disk's own reader
//     (inside/guest_image.h); its lengths are the guest disk's size.
//
// The journal of a file NAME is NAME.kzj in the same folder. It records who
// wrote it and what identifies the files it names, so that a journal is
// carried out only when it can be ours (repair_transaction.h); the run that
// writes it holds it open and locked until it is removed, so that another
// run sees a live repair and leaves it alone.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "os/directory.h"
#include "os/file.h"
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
  enum class Kind : uint32_t { InPlace = 1, Copy = 2, Guest = 3 };
  Kind kind = Kind::InPlace;
  // Names inside the journal's own folder (no folder part), so that a folder
  // moved after a crash still finds them. InPlace: the repaired file. Copy:
  // the in-use file that the copy replaces.
  std::string file;
  // Copy: the copy being made.
  std::string copy;
  // The file's attributes before anything was done to it, when known.
  std::optional<os::FileAttributes> attributes;
  // The user that wrote it.
  uint32_t writer = 0;
  // InPlace: the repaired file; Copy: the in-use file; as it was journaled.
  os::FileIdentity fileIdentity;
  // Copy: the copy, once made (its own slot of the journal, written after
  // the copy; nullopt while the copy is not yet made, or when a stop cut
  // that slot's write short).
  std::optional<os::FileIdentity> copyIdentity;
  uint64_t oldLength = 0;
  uint64_t newLength = 0;
  std::vector<JournalRegion> regions;
  std::vector<uint8_t> tail;  // the bytes from newLength to oldLength (none when longer)
};

// The journal as bytes, ending in a check over all of them, so that one cut
// short by a crash is told apart from a whole one.
std::vector<uint8_t> EncodeJournal(const Journal& journal);
// nullopt for bytes that are no whole journal (cut short, damaged, or
// anything else).
std::optional<Journal> DecodeJournal(const std::vector<uint8_t>& bytes);

// Writes the journal to a new file `name` of `folder` (never over another,
// never through a link there), locks it, and waits until it, and its name in
// the folder, are on the disk; `journal.writer` is set to the running user.
// The journal stays open and locked in `held` until RemoveJournal. On
// failure nothing is left at `name` (unless the disk stopped during it,
// which leaves a journal that does not decode).
bool WriteJournal(const os::Folder& folder, const std::string& name, Journal& journal,
                  os::WriteFaults* faults, os::File& held);

// Writes the copy's identity into the held journal's slot for it and puts it
// on the disk.
bool RecordCopyIdentity(os::File& held, const os::FileIdentity& copy, os::WriteFaults* faults);

enum class JournalRead {
  Missing,     // no journal there
  Torn,        // a journal of ours that does not decode: cut short before it was whole
  Whole,       // a journal of ours, held open and locked
  Unreadable,  // there, but it cannot be read
  Untrusted,   // not provably ours (see `why`): never carried out, never removed
  Busy,        // a running cleaning holds it: left alone
};

struct JournalReading {
  JournalRead what = JournalRead::Missing;
  std::string why;  // Untrusted, Busy: in words for a user
  os::File held;    // Torn, Whole: the journal, open and locked
};

// Reads the journal `name` of `folder`, trusting it only when it can be
// ours: a regular file (not a link) with one name, owned by the running user
// or the superuser, written by its owner, in the current format, and not
// locked by a running cleaning.
JournalReading ReadJournal(const os::Folder& folder, const std::string& name, Journal& journal);

// Removes the journal `name` that `held` holds, waits until its removal is on
// the disk, and lets it go.
bool RemoveJournal(const os::Folder& folder, const std::string& name, os::File& held,
                   os::WriteFaults* faults);

}  // namespace engine
