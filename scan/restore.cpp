#include "scan/restore.h"

#include <map>

#include "engine/journal.h"
#include "engine/repair_transaction.h"
#include "engine/restore_transaction.h"
#include "os/file.h"
#include "os/resolve.h"
#include "os/system.h"
#include "scan/backup.h"

namespace scan {
namespace {

bool IsSeparator(char c) { return c == '/' || (os::PathSeparator() == '\\' && c == '\\'); }

// Whether `path` is `folder` or lies under it.
bool IsUnder(const std::string& path, std::string folder) {
  while (folder.size() > 1 && IsSeparator(folder.back())) folder.pop_back();
  if (path.compare(0, folder.size(), folder) != 0) return false;
  return path.size() == folder.size() || IsSeparator(folder.back()) ||
         IsSeparator(path[folder.size()]);
}

RestoredFile Result(RestoreResult result, std::string reason = "") {
  return RestoredFile{result, std::move(reason)};
}

}  // namespace

std::string_view RestoreResultText(RestoreResult result) {
  switch (result) {
    case RestoreResult::Restored:
      return "restored";
    case RestoreResult::AlreadyRestored:
      return "already restored";
    case RestoreResult::ChangedSince:
      return "changed since, kept";
    case RestoreResult::Gone:
      return "gone since, not made again";
    case RestoreResult::BackupMissing:
      return "backup missing";
    case RestoreResult::BackupDamaged:
      return "backup damaged";
    case RestoreResult::NotRestored:
      break;
  }
  return "not restored";
}

std::vector<ManifestLine> LinesToRestore(const Manifest& manifest,
                                         const std::vector<std::string>& under,
                                         std::vector<std::string>* unmatched) {
  std::vector<bool> met(under.size(), false);
  // The last kept line of each original: a file cleaned, infected again and
  // cleaned again is put back as it was before the last cleaning.
  std::map<std::string, size_t> last;
  for (size_t i = 0; i < manifest.lines.size(); ++i) {
    const ManifestLine& line = manifest.lines[i];
    if (line.restored) continue;
    bool chosen = under.empty();
    for (size_t j = 0; j < under.size(); ++j) {
      if (IsUnder(line.original, under[j])) chosen = met[j] = true;
    }
    if (chosen) last[line.original] = i;
  }
  if (unmatched != nullptr) {
    for (size_t j = 0; j < under.size(); ++j) {
      if (!met[j]) unmatched->push_back(under[j]);
    }
  }
  std::vector<ManifestLine> lines;
  for (size_t i = 0; i < manifest.lines.size(); ++i) {
    const auto found = last.find(manifest.lines[i].original);
    if (found != last.end() && found->second == i) lines.push_back(manifest.lines[i]);
  }
  return lines;
}

RestoredFile RestoreFromBackup(const os::Folder& backups, const ManifestLine& line, bool force,
                               os::WriteFaults* faults) {
  if (backups.Look(line.name).kind == os::EntryInfo::Kind::Missing) {
    return Result(RestoreResult::BackupMissing);
  }
  os::File backup = backups.OpenFile(line.name, os::Access::Read, os::Share::Read);
  const auto hashed = backup.IsOpen() ? HashOf(backup) : std::nullopt;
  if (!hashed || hashed->first != line.sha256 || hashed->second != line.size) {
    return Result(RestoreResult::BackupDamaged);
  }

  // A path read from a file: every part a real folder (no link, no ".."),
  // so that nothing another user placed on the way sends the write
  // elsewhere.
  os::PathRules rules;
  rules.followLinks = false;
  rules.allowDotDot = false;
  os::ResolvedParent resolved = os::ResolveParent(line.original, rules, false);
  if (!resolved.folder.IsOpen()) {
    return Result(RestoreResult::NotRestored,
                  "its folder cannot be reached: " + resolved.refusal + "; nothing was written");
  }
  const os::Folder& folder = resolved.folder;
  const std::string& name = resolved.name;
  // A change of the file that a run left unfinished is undone first.
  const std::string journalName = name + std::string(engine::kJournalSuffix);
  std::string note;
  if (folder.Look(journalName).kind != os::EntryInfo::Kind::Missing) {
    const engine::RecoveryResult recovered =
        engine::RecoverFromJournal(folder, journalName, faults);
    switch (recovered.what) {
      case engine::Recovery::None:
      case engine::Recovery::Discarded:
      case engine::Recovery::CopyGone:
        break;
      case engine::Recovery::PutBack:
        note = "an interrupted change of it was undone first";
        break;
      case engine::Recovery::Untrusted:
        return Result(RestoreResult::NotRestored,
                      "untrusted journal beside it: " + recovered.detail + "; left as it is");
      case engine::Recovery::Busy:
        return Result(RestoreResult::NotRestored,
                      "a cleaning that runs now holds its journal: " + recovered.detail);
      case engine::Recovery::Failed:
      case engine::Recovery::Pending:  // never: a restore writes
        return Result(RestoreResult::NotRestored,
                      "an interrupted change of it could not be undone: " + recovered.detail);
    }
  }

  engine::RestoreSettings settings;
  settings.force = force;
  settings.faults = faults;
  const engine::RestoreOutcome outcome = engine::RestoreInPlace(folder, name, backup, settings);
  switch (outcome.status) {
    case engine::RestoreStatus::AlreadyThere:
      return Result(RestoreResult::AlreadyRestored, note);
    case engine::RestoreStatus::ChangedSince:
      return Result(RestoreResult::ChangedSince, note);
    case engine::RestoreStatus::Gone:
      return Result(RestoreResult::Gone, note);
    case engine::RestoreStatus::NotDone:
      return Result(RestoreResult::NotRestored, outcome.detail);
    case engine::RestoreStatus::Restored:
      break;
  }
  ManifestLine record = line;
  record.restored = true;
  if (!backups.AppendToOwn(kManifestName, ManifestText(record), faults) || !backups.Flush(faults)) {
    return Result(RestoreResult::Restored, "the manifest could not record it");
  }
  return Result(RestoreResult::Restored, note);
}

}  // namespace scan
