#include "engine/repair_transaction.h"

#include "engine/disinfect.h"
#include "engine/pe_image.h"
#include "engine/virus_body.h"
#include "os/file.h"
#include "os/system.h"

namespace engine {
namespace {

// Where the folder part of a path ends: after its last separator.
size_t NameStart(const std::string& path) {
  size_t at = os::PathSeparator() == '\\' ? path.find_last_of("\\/") : path.rfind('/');
  return at == std::string::npos ? 0 : at + 1;
}

std::string NameOf(const std::string& path) { return path.substr(NameStart(path)); }

std::string Beside(const std::string& path, const std::string& name) {
  return path.substr(0, NameStart(path)) + name;
}

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
FileState StateOf(const std::string& path, const Journal& journal) {
  os::File file =
      os::File::Open(path, os::Access::Read, os::Share::ReadWrite, os::Disposition::OpenExisting);
  if (!file.IsOpen()) return FileState::Unreadable;
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

}  // namespace

bool PutBackFromJournal(const std::string& path, const Journal& journal, os::WriteFaults* faults) {
  FileState state = StateOf(path, journal);
  if (state == FileState::Foreign || state == FileState::Unreadable) return false;
  if (state == FileState::Ours) {
    std::optional<os::FileAttributes> now = os::ReadAttributes(path);
    if (now && os::IsReadOnly(*now) &&
        !os::WriteAttributes(path, os::WithoutReadOnly(*now), faults)) {
      return false;
    }
    os::File file = os::File::Open(path, os::Access::ReadWrite, os::Share::Read,
                                   os::Disposition::OpenExisting, faults);
    if (!file.IsOpen()) return false;
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
    std::optional<os::FileAttributes> now = os::ReadAttributes(path);
    if (!now || now->bits != journal.attributes->bits) {
      return os::WriteAttributes(path, *journal.attributes, faults);
    }
  }
  return true;
}

namespace {

RepairOutcome Outcome(RepairStatus status, std::string detail) {
  return RepairOutcome{status, std::move(detail)};
}

}  // namespace

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

RepairOutcome RepairInPlace(const std::string& path, const RepairSettings& settings,
                            std::optional<os::FileAttributes>* clearedFrom) {
  os::WriteFaults* faults = settings.faults;
  *clearedFrom = std::nullopt;
  std::optional<os::FileAttributes> attributes = os::ReadAttributes(path);
  const bool readOnly = attributes && os::IsReadOnly(*attributes);

  // A writable file is opened for writing at once and kept open throughout;
  // a read-only one is planned through a handle for reading, and opened for
  // writing once its journal holds the mark that is cleared for it.
  os::File file = readOnly ? os::File::Open(path, os::Access::Read, os::Share::ReadWrite,
                                            os::Disposition::OpenExisting)
                           : os::File::Open(path, os::Access::ReadWrite, os::Share::Read,
                                            os::Disposition::OpenExisting, faults);
  if (!file.IsOpen()) {
    if (!readOnly) return Outcome(RepairStatus::InUse, "it is in use");
    return Outcome(RepairStatus::NotDone, "it cannot be opened");
  }
  Journal journal;
  journal.kind = Journal::Kind::InPlace;
  journal.file = NameOf(path);
  journal.attributes = attributes;
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

  if (settings.keepBackup && !settings.keepBackup(path)) {
    return Outcome(RepairStatus::NotDone, "no backup of it could be kept");
  }
  const std::string journalPath = JournalPathFor(path);
  if (!WriteJournal(journalPath, journal, faults)) {
    return Outcome(RepairStatus::NotDone, "no journal can be written beside it");
  }

  // From here on every way out either commits or undoes by the journal.
  auto undo = [&](const char* why) {
    file.Close();
    if (PutBackFromJournal(path, journal, faults)) RemoveJournal(journalPath, faults);
    return Outcome(RepairStatus::NotDone, why);
  };
  if (readOnly) {
    if (!os::WriteAttributes(path, os::WithoutReadOnly(*attributes), faults)) {
      return undo("its read-only mark cannot be cleared");
    }
    file = os::File::Open(path, os::Access::ReadWrite, os::Share::Read,
                          os::Disposition::OpenExisting, faults);
    if (!file.IsOpen()) {
      // In use. The mark stays cleared for a copy to take the file's place;
      // the copy's own journal takes this one's over (RepairAsCopy).
      *clearedFrom = attributes;
      return Outcome(RepairStatus::InUse, "it is in use");
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
  file.Close();
  if (readOnly && !os::WriteAttributes(path, *attributes, faults)) {
    return undo("its read-only mark cannot be put back");
  }
  // The commit: while the journal is there, the next run undoes the repair.
  if (!os::RemoveFile(journalPath, faults)) return undo("its journal cannot be removed");
  os::FlushFolderOf(journalPath, faults);
  return Outcome(RepairStatus::Cleaned, "");
}

RepairOutcome RepairAsCopy(
    const std::string& path, const std::string& copy, std::optional<os::FileAttributes> attributes,
    const std::function<bool(const std::string& path, const std::string& copy)>& schedule,
    const RepairSettings& settings) {
  os::WriteFaults* faults = settings.faults;
  Journal journal;
  journal.kind = Journal::Kind::Copy;
  journal.file = NameOf(path);
  journal.copy = NameOf(copy);
  journal.attributes = attributes;
  const std::string journalPath = JournalPathFor(copy);
  const std::string fileJournalPath = JournalPathFor(path);
  auto giveBack = [&] {
    if (attributes) os::WriteAttributes(path, *attributes, faults);
  };
  if (!WriteJournal(journalPath, journal, faults)) {
    giveBack();
    RemoveJournal(fileJournalPath, faults);
    return Outcome(RepairStatus::NotDone, "no journal can be written beside it");
  }
  // This journal now keeps the file's attributes: the one of the attempt in
  // place goes.
  if (os::ReadAttributes(fileJournalPath)) RemoveJournal(fileJournalPath, faults);

  auto undo = [&](const char* why) {
    bool gone = !os::ReadAttributes(copy) || os::RemoveFile(copy, faults);
    giveBack();
    if (gone) RemoveJournal(journalPath, faults);
    return Outcome(RepairStatus::NotDone, why);
  };
  if (settings.keepBackup && !settings.keepBackup(path))
    return undo("no backup of it could be kept");
  if (!os::CopyNew(path, copy, faults)) return undo("no copy of it could be made");
  std::optional<os::FileAttributes> copied = os::ReadAttributes(copy);
  if (copied && os::IsReadOnly(*copied) &&
      !os::WriteAttributes(copy, os::WithoutReadOnly(*copied), faults)) {
    return undo("its copy cannot be written");
  }
  RepairPlan plan;
  {
    os::File file = os::File::Open(copy, os::Access::ReadWrite, os::Share::Read,
                                   os::Disposition::OpenExisting, faults);
    if (!file.IsOpen()) return undo("its copy cannot be written");
    PlanResult planned = settings.plan(file);
    if (!planned.ok()) {
      file.Close();
      undo("");
      return Outcome(RepairStatus::Refused, planned.refusal);
    }
    plan = std::move(planned.plan);
    if (!ApplyRepair(file, plan) || !file.Flush()) {
      file.Close();
      return undo("its copy could not be written (is the disk full?)");
    }
    if (!VerifyRepair(file, plan)) {
      file.Close();
      return undo("the repaired copy did not verify");
    }
  }
  if (!schedule(path, copy)) return undo("its replacement at restart was not taken");
  // The commit. Without it the copy goes again, and the restart then finds
  // nothing to put in the file's place, which stays as it was.
  if (!os::RemoveFile(journalPath, faults)) return undo("its journal cannot be removed");
  os::FlushFolderOf(journalPath, faults);
  return Outcome(RepairStatus::Cleaned, "");
}

RecoveryResult RecoverFromJournal(const std::string& journalPath, os::WriteFaults* faults) {
  Journal journal;
  switch (ReadJournal(journalPath, journal)) {
    case JournalRead::Missing:
      return {Recovery::None, ""};
    case JournalRead::Unreadable:
      return {Recovery::Failed, "its journal cannot be read"};
    case JournalRead::Torn:
      // Cut short while being written: the file had not been touched yet.
      if (!RemoveJournal(journalPath, faults)) {
        return {Recovery::Failed, "an unfinished journal cannot be removed"};
      }
      return {Recovery::Discarded, ""};
    case JournalRead::Whole:
      break;
  }
  const std::string file = Beside(journalPath, journal.file);
  if (journal.kind == Journal::Kind::Copy) {
    const std::string copy = Beside(journalPath, journal.copy);
    if (os::ReadAttributes(copy) && !os::RemoveFile(copy, faults)) {
      return {Recovery::Failed, "an unfinished copy cannot be removed"};
    }
    if (journal.attributes && os::ReadAttributes(file) &&
        !os::WriteAttributes(file, *journal.attributes, faults)) {
      return {Recovery::Failed, "its attributes cannot be put back"};
    }
    if (!RemoveJournal(journalPath, faults))
      return {Recovery::Failed, "its journal cannot be removed"};
    return {Recovery::CopyGone, ""};
  }
  if (journal.file != NameOf(TargetOfJournal(journalPath))) {
    return {Recovery::Failed, "its journal names another file"};
  }
  if (!os::ReadAttributes(file)) {
    // Gone since: nothing to put back.
    if (!RemoveJournal(journalPath, faults))
      return {Recovery::Failed, "its journal cannot be removed"};
    return {Recovery::Discarded, ""};
  }
  if (StateOf(file, journal) == FileState::Foreign) {
    return {Recovery::Failed, "it was changed by something else after an interrupted repair"};
  }
  if (!PutBackFromJournal(file, journal, faults)) {
    return {Recovery::Failed, "it cannot be put back as it was before an interrupted repair"};
  }
  if (!RemoveJournal(journalPath, faults))
    return {Recovery::Failed, "its journal cannot be removed"};
  return {Recovery::PutBack, ""};
}

}  // namespace engine
