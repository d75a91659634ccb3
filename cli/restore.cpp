#include "cli/restore.h"

#include <cstdio>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "cli/backup_folder.h"
#include "cli/interrupt.h"
#include "cli/json_file.h"
#include "cli/json_results.h"
#include "cli/run.h"
#include "cli/terminal.h"
#include "os/file.h"
#include "scan/manifest.h"
#include "scan/restore.h"
#include "scan/scan_state.h"

namespace cli {
namespace {

void Say(const std::string& text) { std::fprintf(stderr, "krizclean: %s\n", text.c_str()); }

// The manifest of `folder`, whole; nullopt when it cannot be read.
std::optional<std::string> ReadManifest(const os::Folder& folder) {
  os::File file = folder.OpenFile(scan::kManifestName, os::Access::Read, os::Share::ReadWrite);
  const std::optional<uint64_t> size = file.Size();
  if (!file.IsOpen() || !size) return std::nullopt;
  std::string text;
  constexpr uint32_t kChunk = 1u << 16;
  std::vector<char> chunk(kChunk);
  for (uint64_t offset = 0;;) {
    const std::optional<uint32_t> got = file.ReadAt(offset, chunk.data(), kChunk);
    if (!got) return std::nullopt;
    if (*got == 0) break;
    text.append(chunk.data(), *got);
    offset += *got;
  }
  return text;
}

}  // namespace

int Restore(const Options& options) {
  // The JSON and the JSON Lines, checked before anything is put back, as a
  // scan checks them.
  const bool jsonOut = options.jsonPath && *options.jsonPath == "-";
  const bool linesOut = options.jsonLinesPath && *options.jsonLinesPath == "-";
  std::optional<JsonFile> jsonFile;
  std::optional<JsonFile> linesFile;
  if (options.jsonPath && !jsonOut) {
    std::string why;
    jsonFile = JsonFile::Prepare(*options.jsonPath, why);
    if (!jsonFile) {
      Say(Escaped(*options.jsonPath) + ": " + why);
      return kExitNotScanned;
    }
  }
  std::optional<JsonFile::Stream> stream;
  std::string linesFailure;
  if (options.jsonLinesPath && !linesOut) {
    linesFile = JsonFile::Prepare(*options.jsonLinesPath, linesFailure, JsonFile::Use::Stream);
    if (linesFile) stream = linesFile->OpenStream(linesFailure);
    if (!stream) {
      Say(Escaped(*options.jsonLinesPath) + ": " + linesFailure);
      return kExitNotScanned;
    }
  }
  bool linesBroken = false;
  const auto record = [&](const std::string& text) {
    if (!options.jsonLinesPath || linesBroken) return;
    const std::string line = text + "\n";
    if (stream) {
      linesBroken = !stream->Write(line, linesFailure);
    } else {
      linesBroken = std::fwrite(line.data(), 1, line.size(), stdout) != line.size() ||
                    std::fflush(stdout) != 0;
      if (linesBroken) linesFailure = "cannot write to standard output";
    }
  };
  const bool print = !jsonOut && !linesOut;
  std::vector<RestoreEntry> entries;
  std::vector<PathError> errors;

  std::string problem;
  const std::shared_ptr<const os::Folder> backups =
      BackupFolder(Shown(*options.restoreFolder), FolderUse::Restore, problem);
  if (backups == nullptr) {
    Say(Escaped(*options.restoreFolder) + ": " + Escaped(problem));
    return kExitNotScanned;
  }
  const std::optional<std::string> text = ReadManifest(*backups);
  if (!text) {
    Say(Escaped(*options.restoreFolder) + ": its manifest.txt cannot be read");
    return kExitNotScanned;
  }
  bool complete = true;
  const scan::Manifest manifest = scan::ParseManifest(*text);
  for (size_t number : manifest.unreadable) {
    Say(Escaped(*options.restoreFolder) + ": line " + std::to_string(number) +
        " of its manifest.txt cannot be read; left out");
    complete = false;
  }
  // The manifest names each original by the path its status line showed.
  std::vector<std::string> under;
  for (const std::string& path : options.paths) under.push_back(Shown(path));
  std::vector<std::string> unmatched;
  const std::vector<scan::ManifestLine> lines = scan::LinesToRestore(manifest, under, &unmatched);
  for (const std::string& path : unmatched) {
    const std::string why = "no original under it is kept in this backup folder";
    Say(Escaped(path) + ": " + why);
    errors.push_back({path, why});
    record(ErrorRecord(errors.back()));
    complete = false;
  }

  // A Ctrl-C stops after the file in hand.
  scan::ScanState stopper;
  StopScanOnInterrupt(stopper);
  size_t counts[static_cast<size_t>(scan::RestoreResult::NotRestored) + 1] = {};
  bool interrupted = false;
  for (const scan::ManifestLine& line : lines) {
    if (ScanInterrupted()) {
      Say("interrupted; the files after it were not restored");
      complete = false;
      interrupted = true;
      break;
    }
    const scan::RestoredFile restored =
        scan::RestoreFromBackup(*backups, line, options.force, nullptr);
    if (!restored.reason.empty()) {
      Say(Escaped(line.original) + ": " + Escaped(restored.reason));
    }
    const std::string status = Escaped(line.original) + ": " +
                               std::string(scan::RestoreResultText(restored.result)) + "\n";
    if (print) std::fputs(status.c_str(), stdout);
    const RestoreEntry entry{line.original, std::string(scan::RestoreResultText(restored.result)),
                             static_cast<int>(restored.result), restored.reason};
    record(RestoreRecord(entry));
    if (options.jsonPath) entries.push_back(entry);
    ++counts[static_cast<size_t>(restored.result)];
    if (restored.result != scan::RestoreResult::Restored &&
        restored.result != scan::RestoreResult::AlreadyRestored) {
      complete = false;
    }
  }
  // One line for each status, in the order of the statuses.
  std::string report;
  RestoreCounts totals;
  for (size_t i = 0; i < std::size(counts); ++i) {
    const std::string status(scan::RestoreResultText(static_cast<scan::RestoreResult>(i)));
    report += status + ": " + std::to_string(counts[i]) + "\n";
    totals.emplace_back(status, counts[i]);
  }
  if (print) std::fputs(report.c_str(), stdout);
  if (options.jsonPath) {
    const std::string json =
        RestoreAsJson(entries, errors, totals, complete ? kExitClean : kExitNotScanned) + "\n";
    if (jsonOut) {
      std::fwrite(json.data(), 1, json.size(), stdout);
    } else if (std::string failure; !jsonFile->Write(json, failure)) {
      Say(Escaped(*options.jsonPath) + ": " + failure);
      complete = false;
    }
  }
  record(RestoreSummaryRecord(totals, complete ? kExitClean : kExitNotScanned, interrupted));
  if (stream && !linesBroken) linesBroken = !stream->Close(linesFailure);
  if (linesBroken) {
    Say(Escaped(*options.jsonLinesPath) + ": " + linesFailure);
    complete = false;
  }
  if (std::fflush(stdout) != 0 || std::ferror(stdout) != 0) {
    Say("cannot write to standard output");
    complete = false;
  }
  return complete ? kExitClean : kExitNotScanned;
}

}  // namespace cli
