#include "engine/restore_transaction.h"

#include <algorithm>
#include <cstring>
#include <optional>
#include <utility>
#include <vector>

#include "engine/file_checks.h"
#include "engine/journal.h"
#include "engine/repair_plan.h"
#include "engine/repair_transaction.h"

namespace engine {
namespace {

constexpr uint32_t kChunk = 1u << 16;
// Differences closer than this are journaled as one region: a few longer
// regions cost less than many short ones.
constexpr uint64_t kJoinGap = 64;
// The most of the file's bytes one journal holds (twice over, before and
// after, in its regions): a restore of a file that differs more from its
// backup is refused rather than left without a way back.
constexpr uint64_t kMaxJournaled = 1u << 22;

bool ReadExactly(os::ByteSource& source, uint64_t offset, uint8_t* bytes, uint32_t length) {
  return length == 0 || source.ReadAt(offset, bytes, length) == length;
}

// Whether `a` and `b` hold the same bytes.
bool SameBytes(os::ByteSource& a, os::ByteSource& b) {
  const std::optional<uint64_t> size = a.Size();
  if (!size || b.Size() != size) return false;
  std::vector<uint8_t> left(kChunk), right(kChunk);
  for (uint64_t offset = 0; offset < *size;) {
    const auto length = static_cast<uint32_t>(std::min<uint64_t>(kChunk, *size - offset));
    if (!ReadExactly(a, offset, left.data(), length) ||
        !ReadExactly(b, offset, right.data(), length) ||
        std::memcmp(left.data(), right.data(), length) != 0) {
      return false;
    }
    offset += length;
  }
  return true;
}

// The places in the first `length` bytes where `file` and `backup` differ,
// each with both sides' bytes; nullopt when they cannot be read, or when
// they hold more than `budget` bytes.
std::optional<std::vector<JournalRegion>> Differences(os::ByteSource& file, os::ByteSource& backup,
                                                      uint64_t length, uint64_t budget) {
  std::vector<std::pair<uint64_t, uint64_t>> runs;  // [start, end)
  std::vector<uint8_t> left(kChunk), right(kChunk);
  for (uint64_t offset = 0; offset < length;) {
    const auto count = static_cast<uint32_t>(std::min<uint64_t>(kChunk, length - offset));
    if (!ReadExactly(file, offset, left.data(), count) ||
        !ReadExactly(backup, offset, right.data(), count)) {
      return std::nullopt;
    }
    if (std::memcmp(left.data(), right.data(), count) != 0) {
      for (uint32_t i = 0; i < count; ++i) {
        if (left[i] == right[i]) continue;
        const uint64_t at = offset + i;
        if (!runs.empty() && at - runs.back().second <= kJoinGap) {
          runs.back().second = at + 1;
        } else {
          runs.emplace_back(at, at + 1);
        }
      }
    }
    offset += count;
  }
  uint64_t total = 0;
  for (const auto& [start, end] : runs) total += end - start;
  if (total > budget) return std::nullopt;
  std::vector<JournalRegion> regions;
  for (const auto& [start, end] : runs) {
    JournalRegion region;
    region.offset = start;
    // At most `budget` bytes, well within 32 bits.
    const auto count = static_cast<uint32_t>(end - start);
    region.before.resize(count);
    region.after.resize(count);
    if (!ReadExactly(file, start, region.before.data(), count) ||
        !ReadExactly(backup, start, region.after.data(), count)) {
      return std::nullopt;
    }
    regions.push_back(std::move(region));
  }
  return regions;
}

// Why the file `name` could not be opened for the restore.
std::string WhyNotOpenedForRestore(const os::Folder& folder, const std::string& name) {
  switch (folder.Look(name).kind) {
    case os::EntryInfo::Kind::Link:
      return "it is a symbolic link now; left alone";
    case os::EntryInfo::Kind::Folder:
    case os::EntryInfo::Kind::Other:
      return "it is no regular file now; left alone";
    case os::EntryInfo::Kind::Missing:
    case os::EntryInfo::Kind::File:
    case os::EntryInfo::Kind::Unknown:
      break;
  }
  return "it cannot be opened for writing (is it read-only, or in use?)";
}

RestoreOutcome Outcome(RestoreStatus status, std::string detail = "") {
  return RestoreOutcome{status, std::move(detail)};
}

}  // namespace

bool IsCleanFormOf(os::ByteSource& now, os::ByteSource& infected) {
  const PlanResult planned = PlanRepair(infected);
  if (!planned.ok()) return false;
  const RepairPlan& plan = planned.plan;
  if (now.Size() != plan.newLength) return false;
  std::vector<uint8_t> actual(kChunk), expected(kChunk);
  for (uint64_t offset = 0; offset < plan.newLength;) {
    const auto length = static_cast<uint32_t>(std::min<uint64_t>(kChunk, plan.newLength - offset));
    if (!ReadExactly(now, offset, actual.data(), length) ||
        !ReadExactly(infected, offset, expected.data(), length)) {
      return false;
    }
    // The repair's writes that fall in this chunk, laid over the original.
    for (const BytePatch& write : plan.writes) {
      const uint64_t from = std::max<uint64_t>(offset, write.offset);
      const uint64_t to = std::min<uint64_t>(offset + length, write.offset + write.bytes.size());
      for (uint64_t at = from; at < to; ++at) {
        expected[static_cast<size_t>(at - offset)] =
            write.bytes[static_cast<size_t>(at - write.offset)];
      }
    }
    if (std::memcmp(actual.data(), expected.data(), length) != 0) return false;
    offset += length;
  }
  return true;
}

RestoreOutcome RestoreInPlace(const os::Folder& folder, const std::string& name,
                              os::ByteSource& backup, const RestoreSettings& settings) {
  os::WriteFaults* faults = settings.faults;
  if (folder.Look(name).kind == os::EntryInfo::Kind::Missing) {
    return Outcome(RestoreStatus::Gone);
  }
  os::File file = folder.OpenFile(name, os::Access::ReadWrite, os::Share::Read, faults);
  if (!file.IsOpen()) {
    return Outcome(RestoreStatus::NotDone, WhyNotOpenedForRestore(folder, name));
  }
  if (std::string why = WhyNotThisFile(folder, file, std::nullopt); !why.empty()) {
    return Outcome(RestoreStatus::NotDone, why);
  }
  if (SameBytes(file, backup)) return Outcome(RestoreStatus::AlreadyThere);
  if (!settings.force && !IsCleanFormOf(file, backup)) {
    return Outcome(RestoreStatus::ChangedSince);
  }

  const std::optional<uint64_t> oldLength = file.Size();
  const std::optional<uint64_t> newLength = backup.Size();
  const std::optional<os::FileIdentity> identity = file.Identity();
  if (!oldLength || !newLength || !identity) {
    return Outcome(RestoreStatus::NotDone, "it cannot be read");
  }
  Journal journal;
  journal.kind = Journal::Kind::InPlace;
  journal.file = name;
  journal.attributes = file.Attributes();
  journal.fileIdentity = *identity;
  journal.oldLength = *oldLength;
  journal.newLength = *newLength;
  const uint64_t cut = *oldLength > *newLength ? *oldLength - *newLength : 0;
  std::optional<std::vector<JournalRegion>> regions =
      cut > kMaxJournaled
          ? std::nullopt
          : Differences(file, backup, std::min(*oldLength, *newLength), kMaxJournaled - cut);
  if (!regions) {
    return Outcome(RestoreStatus::NotDone,
                   "it differs from its backup in more than a journal can hold; left alone");
  }
  journal.regions = std::move(*regions);
  journal.tail.resize(static_cast<size_t>(cut));
  if (!ReadExactly(file, *newLength, journal.tail.data(), static_cast<uint32_t>(cut))) {
    return Outcome(RestoreStatus::NotDone, "its end cannot be read");
  }
  const std::string journalName = name + std::string(kJournalSuffix);
  os::File held;
  if (!WriteJournal(folder, journalName, journal, faults, held)) {
    return Outcome(RestoreStatus::NotDone, "no journal can be written beside it");
  }

  // From here on every way out either commits or undoes by the journal.
  auto undo = [&](const char* why) {
    if (PutBackFromJournal(file, journal, faults)) {
      RemoveJournal(folder, journalName, held, faults);
    }
    return Outcome(RestoreStatus::NotDone, why);
  };
  bool written = true;
  for (const JournalRegion& region : journal.regions) {
    const auto length = static_cast<uint32_t>(region.after.size());
    written = written && file.WriteAt(region.offset, region.after.data(), length) == length;
  }
  written = written && file.SetEnd(*newLength);
  // What a lengthened file gains: the backup's bytes past the old end.
  std::vector<uint8_t> chunk(kChunk);
  for (uint64_t offset = *oldLength; written && offset < *newLength;) {
    const auto length = static_cast<uint32_t>(std::min<uint64_t>(kChunk, *newLength - offset));
    written = ReadExactly(backup, offset, chunk.data(), length) &&
              file.WriteAt(offset, chunk.data(), length) == length;
    offset += length;
  }
  if (!written || !file.Flush()) return undo("it could not be written (is the disk full?)");
  if (!SameBytes(file, backup)) return undo("the restored file did not verify");
  // The commit: while the journal is there, the next run puts back the
  // cleaned file.
  if (!folder.RemoveHeld(journalName, held, faults)) return undo("its journal cannot be removed");
  folder.Flush(faults);
  return Outcome(RestoreStatus::Restored);
}

}  // namespace engine
