#include "cli/restore.h"

#include <cstdio>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "cli/backup_folder.h"
#include "cli/interrupt.h"
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
    Say(Escaped(path) + ": no original under it is kept in this backup folder");
    complete = false;
  }

  // A Ctrl-C stops after the file in hand.
  scan::ScanState stopper;
  StopScanOnInterrupt(stopper);
  size_t counts[static_cast<size_t>(scan::RestoreResult::NotRestored) + 1] = {};
  for (const scan::ManifestLine& line : lines) {
    if (ScanInterrupted()) {
      Say("interrupted; the files after it were not restored");
      complete = false;
      break;
    }
    const scan::RestoredFile restored =
        scan::RestoreFromBackup(*backups, line, options.force, nullptr);
    if (!restored.reason.empty()) {
      Say(Escaped(line.original) + ": " + Escaped(restored.reason));
    }
    const std::string status = Escaped(line.original) + ": " +
                               std::string(scan::RestoreResultText(restored.result)) + "\n";
    std::fputs(status.c_str(), stdout);
    ++counts[static_cast<size_t>(restored.result)];
    if (restored.result != scan::RestoreResult::Restored &&
        restored.result != scan::RestoreResult::AlreadyRestored) {
      complete = false;
    }
  }
  // One line for each status, in the order of the statuses.
  std::string report;
  for (size_t i = 0; i < std::size(counts); ++i) {
    report += std::string(scan::RestoreResultText(static_cast<scan::RestoreResult>(i))) + ": " +
              std::to_string(counts[i]) + "\n";
  }
  std::fputs(report.c_str(), stdout);
  return complete ? kExitClean : kExitNotScanned;
}

}  // namespace cli
