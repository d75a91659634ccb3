#include "engine/repair_transaction.h"

#include "engine/disinfect.h"
#include "engine/file_checks.h"
#include "engine/pe_image.h"
#include "engine/virus_body.h"
#include "os/file_ops.h"
#include "os/system.h"

namespace engine {
namespace {

constexpr uint32_t kChunk = 1u << 16;

// Where the folder part of a path ends: after its last separator.
size_t NameStart(const std::string& path) {
  size_t at = os::PathSeparator() == '\\' ? path.find_last_of("\\/") : path.rfind('/');
  return at == std::string::npos ? 0 : at + 1;
}

std::string NameOf(const std::string& path) { return path.substr(NameStart(path)); }

std::string Beside(const std::string& path, const std::string& name) {
  return path.substr(0, NameStart(path)) + name;
}

std::string JournalNameFor(const std::string& name) { return name + std::string(kJournalSuffix); }

bool ReadExactly(os::File& file, uint64_t offset, std::vector<uint8_t>& bytes) {
  return bytes.empty() ||
         file.ReadAt(offset, bytes.data(), static_cast<uint32_t>(bytes.size())) == bytes.size();
}

// Each byte of `now` is the one before or the one after the repair: what a
// repair, its undoing, or either cut short anywhere leaves behind.
bool IsBeforeOrAfter(const std::vector<uint8_t>& now, const JournalRegion& region) {
  for (size_t i = 0; i < now.size(); ++i) {
    if (now[i] != region.before[i] && now[i] != region.after[i]) return false;
  }
  return true;
}

enum class FileState { Original, Ours, Foreign, Unreadable };

// How the file stands against its journal: exactly as it was before the
// repair, in some state a repair or its undoing leaves, or changed by
// something else since.
FileState StateOf(os::File& file, const Journal& journal) {
  std::optional<uint64_t> size = file.Size();
  if (!size) return FileState::Unreadable;
  bool original = *size == journal.oldLength;
  if (!original && *size != journal.newLength) return FileState::Foreign;
  for (const JournalRegion& region : journal.regions) {
    std::vector<uint8_t> now(region.before.size());
    if (!ReadExactly(file, region.offset, now)) return FileState::Unreadable;
    if (!IsBeforeOrAfter(now, region)) return FileState::Foreign;
    original = original && now == region.before;
  }
  if (*size == journal.oldLength && !journal.tail.empty()) {
    // An undoing that stopped after lengthening the file leaves zeros.
    std::vector<uint8_t> now(journal.tail.size());
    if (!ReadExactly(file, journal.newLength, now)) return FileState::Unreadable;
    for (size_t i = 0; i < now.size(); ++i) {
      if (now[i] != journal.tail[i] && now[i] != 0) return FileState::Foreign;
    }
    original = original && now == journal.tail;
  }
  return original ? FileState::Original : FileState::Ours;
}

// The file `name` opened for writing as the same file as `reader`, which
// was opened for reading (its read-only mark, if any, cleared meanwhile).
// The caller takes its lock once `reader` is closed: the two handles' locks
// would stand in each other's way.
os::File ReopenForWriting(const os::Folder& folder, const std::string& name, os::File& reader,
                          os::WriteFaults* faults) {
  os::File writer = folder.OpenFile(name, os::Access::ReadWrite, os::Share::Read, faults);
  std::optional<os::FileIdentity> was = reader.Identity();
  std::optional<os::FileIdentity> is = writer.Identity();
  if (!was || !is || !is->SameFile(*was)) return os::File();
  return writer;
}

RepairOutcome Outcome(RepairStatus status, std::string detail) {
  return RepairOutcome{status, std::move(detail)};
}

}  // namespace

bool PutBackFromJournal(os::File& file, const Journal& journal, os::WriteFaults* faults) {
  FileState state = StateOf(file, journal);
  if (state == FileState::Foreign || state == FileState::Unreadable) return false;
  if (state == FileState::Ours) {
    for (const JournalRegion& region : journal.regions) {
      uint32_t length = static_cast<uint32_t>(region.before.size());
      if (file.WriteAt(region.offset, region.before.data(), length) != length) return false;
    }
    uint32_t tail = static_cast<uint32_t>(journal.tail.size());
    if (!file.SetEnd(journal.oldLength) ||
        (tail != 0 && file.WriteAt(journal.newLength, journal.tail.data(), tail) != tail) ||
        !file.Flush()) {
      return false;
    }
  }
  if (journal.attributes) {
    // Only the read-only mark the repair cleared comes back; the journal's
    // word is never taken for more (it may be forged).
    std::optional<os::FileAttributes> now = file.Attributes();
    if (!now) return false;
    const os::FileAttributes wanted = os::AfterUndo(*now, *journal.attributes);
    if (now->bits != wanted.bits) return file.SetAttributes(wanted, faults);
  }
  return true;
}

bool VerifyRepair(os::ByteSource& file, const RepairPlan& plan) {
  if (file.Size() != plan.newLength) return false;
  for (const BytePatch& write : plan.writes) {
    std::vector<uint8_t> now(write.bytes.size());
    if (!write.bytes.empty() &&
        file.ReadAt(write.offset, now.data(), static_cast<uint32_t>(now.size())) != now.size()) {
      return false;
    }
    if (now != write.bytes) return false;
  }
  PeImage image;
  if (!image.Open(file) || image.EntryPointRva() != plan.entryPointRva) return false;
  EntryWindow window{};
  uint32_t entry = image.EntryPointFileOffset();
  if (image.ReadAt(entry, window.data(), kEntryWindowSize) && FindVirusMarker(window).Found()) {
    return false;
  }
  if (!plan.checksumSet) return true;
  std::optional<ImageChecksum> sums = ComputeImageChecksum(file);
  return sums && sums->headerSum == sums->trueSum && sums->headerSum != 0;
}

RepairOutcome RepairInPlace(const os::Folder& folder, const std::string& name,
                            const std::optional<os::FileIdentity>& seen,
                            const RepairSettings& settings,
                            std::optional<os::FileAttributes>* clearedFrom) {
  os::WriteFaults* faults = settings.faults;
  *clearedFrom = std::nullopt;
  // Opened once, for writing where it can be; a read-only file (for one who
  // is not its owner's superuser) or one in use is opened for reading, and
  // for writing only once its journal holds the mark cleared for it.
  os::File file = folder.OpenFile(name, os::Access::ReadWrite, os::Share::Read, faults);
  const bool writable = file.IsOpen();
  if (!writable) file = folder.OpenFile(name, os::Access::Read, os::Share::ReadWrite);
  if (!file.IsOpen()) return Outcome(RepairStatus::NotDone, WhyNotOpened(folder, name));
  if (std::string why = WhyNotThisFile(folder, file, seen); !why.empty()) {
    return Outcome(RepairStatus::NotDone, why);
  }
  const std::optional<os::FileAttributes> attributes = file.Attributes();
  const bool readOnly = attributes && os::IsReadOnly(*attributes);
  if (!writable && !readOnly) return Outcome(RepairStatus::InUse, "it is in use");

  Journal journal;
  journal.kind = Journal::Kind::InPlace;
  journal.file = name;
  journal.attributes = attributes;
  journal.fileIdentity = *file.Identity();
  PlanResult planned = settings.plan(file);
  if (!planned.ok()) return Outcome(RepairStatus::Refused, planned.refusal);
  const RepairPlan& plan = planned.plan;
  journal.oldLength = plan.oldLength;
  journal.newLength = plan.newLength;
  for (size_t i = 0; i < plan.writes.size(); ++i) {
    journal.regions.push_back({plan.writes[i].offset, plan.before[i], plan.writes[i].bytes});
  }
  journal.tail.resize(static_cast<size_t>(plan.oldLength - plan.newLength));
  if (!ReadExactly(file, plan.newLength, journal.tail)) {
    return Outcome(RepairStatus::NotDone, "its end cannot be read");
  }

  if (settings.keepBackup && !settings.keepBackup(file)) {
    return Outcome(RepairStatus::NotDone, "no backup of it could be kept");
  }
  const std::string journalName = JournalNameFor(name);
  os::File held;
  if (!WriteJournal(folder, journalName, journal, faults, held)) {
    return Outcome(RepairStatus::NotDone, "no journal can be written beside it");
  }

  // From here on every way out either commits or undoes by the journal.
  auto undo = [&](const char* why) {
    if (PutBackFromJournal(file, journal, faults)) {
      RemoveJournal(folder, journalName, held, faults);
    }
    return Outcome(RepairStatus::NotDone, why);
  };
  if (!writable) {
    if (!file.SetAttributes(os::WithoutReadOnly(*attributes), faults)) {
      return undo("its read-only mark cannot be cleared");
    }
    os::File writer = ReopenForWriting(folder, name, file, faults);
    if (!writer.IsOpen()) {
      if (folder.Look(name).identity.SameFile(journal.fileIdentity)) {
        // In use. The mark stays cleared for a copy to take the file's
        // place; the copy's own journal takes this one's over (RepairAsCopy).
        *clearedFrom = attributes;
        return Outcome(RepairStatus::InUse, "it is in use");
      }
      return undo("it was replaced by another file while it was being repaired");
    }
    file = std::move(writer);
    if (file.LockExclusive() == os::File::Lock::HeldElsewhere) {
      return undo("another program has locked it; left alone");
    }
    // Nothing may have changed the file between the two handles.
    bool unchanged = file.Size() == plan.oldLength;
    for (size_t i = 0; unchanged && i < plan.writes.size(); ++i) {
      std::vector<uint8_t> now(plan.before[i].size());
      unchanged = ReadExactly(file, plan.writes[i].offset, now) && now == plan.before[i];
    }
    if (!unchanged) return undo("it changed while it was being repaired");
  }
  if (!ApplyRepair(file, plan) || !file.Flush()) {
    return undo("it could not be written (is the disk full?)");
  }
  if (!VerifyRepair(file, plan)) return undo("the repaired file did not verify");
  if (!writable && !file.SetAttributes(*attributes, faults)) {
    return undo("its read-only mark cannot be put back");
  }
  // The commit: while the journal is there, the next run undoes the repair.
  if (!folder.RemoveHeld(journalName, held, faults)) return undo("its journal cannot be removed");
  folder.Flush(faults);
  return Outcome(RepairStatus::Cleaned, "");
}

RepairOutcome RepairInPlace(const std::string& path, const RepairSettings& settings,
                            std::optional<os::FileAttributes>* clearedFrom) {
  *clearedFrom = std::nullopt;
  std::string name;
  const os::Folder folder = os::Folder::OpenParent(path, false, name);
  if (!folder.IsOpen()) return Outcome(RepairStatus::NotDone, "it cannot be opened");
  return RepairInPlace(folder, name, std::nullopt, settings, clearedFrom);
}

RepairOutcome RepairAsCopy(
    const os::Folder& folder, const std::string& name, const std::string& copy,
    std::optional<os::FileAttributes> attributes, const std::optional<os::FileIdentity>& seen,
    const std::function<bool(const std::string& name, const std::string& copy)>& schedule,
    const RepairSettings& settings) {
  os::WriteFaults* faults = settings.faults;
  os::File source = folder.OpenFile(name, os::Access::Read, os::Share::ReadWrite);
  if (!source.IsOpen()) return Outcome(RepairStatus::NotDone, WhyNotOpened(folder, name));
  if (std::string why = WhyNotThisFile(folder, source, seen); !why.empty()) {
    return Outcome(RepairStatus::NotDone, why);
  }
  Journal journal;
  journal.kind = Journal::Kind::Copy;
  journal.file = name;
  journal.copy = copy;
  journal.attributes = attributes;
  journal.fileIdentity = *source.Identity();
  const std::string journalName = JournalNameFor(copy);
  const std::string fileJournalName = JournalNameFor(name);
  auto giveBack = [&] {
    if (attributes) source.SetAttributes(*attributes, faults);
  };
  // The journal the attempt in place left, which kept the file's mark: ours
  // when the mark was cleared (`attributes`), and taken over by this one.
  auto dropFileJournal = [&] {
    const os::EntryInfo left = folder.Look(fileJournalName);
    if (attributes && left.kind == os::EntryInfo::Kind::File &&
        left.identity.owner == os::CurrentUser()) {
      folder.Remove(fileJournalName, faults);
      folder.Flush(faults);
    }
  };
  os::File held;
  if (!WriteJournal(folder, journalName, journal, faults, held)) {
    giveBack();
    dropFileJournal();
    return Outcome(RepairStatus::NotDone, "no journal can be written beside it");
  }
  dropFileJournal();

  os::File out;
  std::optional<os::FileIdentity> made;
  auto undo = [&](const char* why) {
    out.Close();
    bool gone = !made || !folder.Look(copy).identity.SameFile(*made) || folder.Remove(copy, faults);
    giveBack();
    if (gone) RemoveJournal(folder, journalName, held, faults);
    return Outcome(RepairStatus::NotDone, why);
  };
  if (settings.keepBackup && !settings.keepBackup(source)) {
    return undo("no backup of it could be kept");
  }
  out = folder.MakeNewFile(copy, 0600, faults);
  made = out.Identity();
  if (!made || !RecordCopyIdentity(held, *made, faults)) return undo("no copy of it could be made");
  std::optional<uint64_t> size = source.Size();
  std::vector<uint8_t> chunk(kChunk);
  for (uint64_t offset = 0; size && offset < *size;) {
    std::optional<uint32_t> got = source.ReadAt(offset, chunk.data(), kChunk);
    if (!got || *got == 0 || out.WriteAt(offset, chunk.data(), *got) != *got) {
      size.reset();
      break;
    }
    offset += *got;
  }
  std::optional<os::FileAttributes> mode = source.Attributes();
  if (!size || !mode ||
      !out.SetAttributes(os::WithoutReadOnly(os::WithoutNewPrivileges(*mode, os::FileIdentity{})),
                         faults)) {
    return undo("no copy of it could be made");
  }
  PlanResult planned = settings.plan(out);
  if (!planned.ok()) {
    undo("");
    return Outcome(RepairStatus::Refused, planned.refusal);
  }
  const RepairPlan& plan = planned.plan;
  if (!ApplyRepair(out, plan) || !out.Flush()) {
    return undo("its copy could not be written (is the disk full?)");
  }
  if (!VerifyRepair(out, plan)) return undo("the repaired copy did not verify");
  out.Close();
  if (!schedule(name, copy)) return undo("its replacement at restart was not taken");
  // The commit. Without it the copy goes again, and the restart then finds
  // nothing to put in the file's place, which stays as it was.
  if (!folder.RemoveHeld(journalName, held, faults)) return undo("its journal cannot be removed");
  folder.Flush(faults);
  return Outcome(RepairStatus::Cleaned, "");
}

RepairOutcome RepairAsCopy(
    const std::string& path, const std::string& copy, std::optional<os::FileAttributes> attributes,
    const std::function<bool(const std::string& path, const std::string& copy)>& schedule,
    const RepairSettings& settings) {
  std::string name;
  const os::Folder folder = os::Folder::OpenParent(path, false, name);
  if (!folder.IsOpen()) return Outcome(RepairStatus::NotDone, "it cannot be opened");
  return RepairAsCopy(
      folder, name, NameOf(copy), attributes, std::nullopt,
      [&](const std::string& file, const std::string& cleaned) {
        return schedule(Beside(path, file), Beside(path, cleaned));
      },
      settings);
}

namespace {

RecoveryResult Untrusted(std::string why) { return {Recovery::Untrusted, std::move(why)}; }

// A "copy" journal: the unfinished copy goes (only the very copy the journal
// made), and the file gets back the attributes it had.
RecoveryResult RecoverCopy(const os::Folder& folder, const std::string& journalName,
                           const Journal& journal, os::File& held, os::WriteFaults* faults,
                           bool onlyCheck) {
  if (journalName != JournalNameFor(journal.copy)) return Untrusted("it names another file");
  const os::EntryInfo copy = folder.Look(journal.copy);
  if (copy.kind != os::EntryInfo::Kind::Missing) {
    // Without its slot, the copy is the empty file made just before the
    // slot was to be written.
    const bool ours =
        copy.kind == os::EntryInfo::Kind::File && copy.identity.links == 1 &&
        (journal.copyIdentity ? copy.identity.SameFile(*journal.copyIdentity)
                              : copy.identity.size == 0 && copy.identity.owner == journal.writer);
    if (!ours) return Untrusted("its copy is not the file it made");
    if (onlyCheck) return {Recovery::Pending, ""};
    if (!folder.Remove(journal.copy, faults)) {
      return {Recovery::Failed, "an unfinished copy cannot be removed"};
    }
  }
  if (journal.attributes && folder.Look(journal.file).kind != os::EntryInfo::Kind::Missing) {
    os::File file = folder.OpenFile(journal.file, os::Access::Read, os::Share::ReadWrite);
    std::optional<os::FileIdentity> identity = file.Identity();
    if (!identity || !identity->SameFile(journal.fileIdentity)) {
      return Untrusted("the file it names is not the file it journaled");
    }
    const std::optional<os::FileAttributes> now = file.Attributes();
    if (!now) return {Recovery::Failed, "its attributes cannot be read"};
    if (onlyCheck) return {Recovery::Pending, ""};
    const os::FileAttributes wanted = os::AfterUndo(*now, *journal.attributes);
    if (now->bits != wanted.bits && !file.SetAttributes(wanted, faults)) {
      return {Recovery::Failed, "its attributes cannot be put back"};
    }
  }
  if (onlyCheck) return {Recovery::Pending, ""};
  if (!RemoveJournal(folder, journalName, held, faults)) {
    return {Recovery::Failed, "its journal cannot be removed"};
  }
  return {Recovery::CopyGone, ""};
}

}  // namespace

RecoveryResult RecoverFromJournal(const os::Folder& folder, const std::string& journalName,
                                  os::WriteFaults* faults, bool onlyCheck) {
  Journal journal;
  JournalReading reading = ReadJournal(folder, journalName, journal);
  switch (reading.what) {
    case JournalRead::Missing:
      return {Recovery::None, ""};
    case JournalRead::Unreadable:
      return {Recovery::Failed, "its journal cannot be read"};
    case JournalRead::Untrusted:
      return Untrusted(reading.why);
    case JournalRead::Busy:
      return {Recovery::Busy, reading.why};
    case JournalRead::Torn:
      // Cut short while being written: the file had not been touched yet.
      if (onlyCheck) return {Recovery::Pending, ""};
      if (!RemoveJournal(folder, journalName, reading.held, faults)) {
        return {Recovery::Failed, "an unfinished journal cannot be removed"};
      }
      return {Recovery::Discarded, ""};
    case JournalRead::Whole:
      break;
  }
  if (journal.kind == Journal::Kind::Copy) {
    return RecoverCopy(folder, journalName, journal, reading.held, faults, onlyCheck);
  }
  if (journal.kind == Journal::Kind::Guest) {
    // Guest offsets mean nothing in the image file: only the disk's own
    // reader carries it out, when a cleaning run next looks into the disk.
    return {onlyCheck ? Recovery::Pending : Recovery::None, ""};
  }
  if (journal.file != TargetOfJournal(journalName)) return Untrusted("it names another file");
  const os::EntryInfo entry = folder.Look(journal.file);
  if (entry.kind == os::EntryInfo::Kind::Missing) {
    // Gone since: nothing to put back, and nothing is made.
    if (onlyCheck) return {Recovery::Pending, ""};
    if (!RemoveJournal(folder, journalName, reading.held, faults)) {
      return {Recovery::Failed, "its journal cannot be removed"};
    }
    return {Recovery::Discarded, ""};
  }
  if (entry.kind != os::EntryInfo::Kind::File) {
    return Untrusted("the name it journaled is no regular file now");
  }
  os::File file = folder.OpenFile(journal.file, os::Access::Read, os::Share::ReadWrite);
  if (!file.IsOpen()) return {Recovery::Failed, "it cannot be opened"};
  if (std::string why = WhyNotThisFile(folder, file, journal.fileIdentity); !why.empty()) {
    return Untrusted("the file it names: " + why);
  }
  FileState state = StateOf(file, journal);
  if (state == FileState::Foreign) {
    return {Recovery::Failed, "it was changed by something else after an interrupted repair"};
  }
  if (onlyCheck) return {Recovery::Pending, ""};
  if (state == FileState::Ours) {
    os::File writer = ReopenForWriting(folder, journal.file, file, faults);
    if (!writer.IsOpen()) {
      // A read-only mark that stops the writing: cleared through the file's
      // own handle (the journal restores it).
      std::optional<os::FileAttributes> now = file.Attributes();
      if (now && os::IsReadOnly(*now) && file.SetAttributes(os::WithoutReadOnly(*now), faults)) {
        writer = ReopenForWriting(folder, journal.file, file, faults);
      }
    }
    if (!writer.IsOpen()) {
      return {Recovery::Failed, "it cannot be put back as it was before an interrupted repair"};
    }
    file = std::move(writer);
    if (file.LockExclusive() == os::File::Lock::HeldElsewhere) {
      return {Recovery::Busy, "another program has locked the file it names"};
    }
  }
  if (!PutBackFromJournal(file, journal, faults)) {
    return {Recovery::Failed, "it cannot be put back as it was before an interrupted repair"};
  }
  if (!RemoveJournal(folder, journalName, reading.held, faults)) {
    return {Recovery::Failed, "its journal cannot be removed"};
  }
  return {Recovery::PutBack, ""};
}

RecoveryResult RecoverFromJournal(const std::string& journalPath, os::WriteFaults* faults) {
  std::string name;
  const os::Folder folder = os::Folder::OpenParent(journalPath, false, name);
  if (!folder.IsOpen()) return {Recovery::None, ""};
  return RecoverFromJournal(folder, name, faults);
}

}  // namespace engine
