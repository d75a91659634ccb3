#include "scan/backup.h"

#include <cstdio>
#include <vector>

#include "os/file.h"
#include "os/file_ops.h"
#include "os/system.h"
#include "scan/sha256.h"

namespace scan {
namespace {

constexpr uint32_t kChunk = 1u << 16;
// Names tried for one file before the folder is taken to be unusable.
constexpr int kNameAttempts = 100;

std::string LastComponent(const std::string& path) {
  size_t at = os::PathSeparator() == '\\' ? path.find_last_of("\\/") : path.rfind('/');
  return at == std::string::npos ? path : path.substr(at + 1);
}

// Copies `source` into the new file `target` and flushes it.
bool CopyInto(os::File& source, os::File& target, uint64_t size) {
  std::vector<uint8_t> chunk(kChunk);
  for (uint64_t offset = 0; offset < size;) {
    std::optional<uint32_t> got = source.ReadAt(offset, chunk.data(), kChunk);
    if (!got || *got == 0 || target.WriteAt(offset, chunk.data(), *got) != *got) return false;
    offset += *got;
  }
  return target.Flush();
}

bool AppendLine(const os::Folder& folder, const std::string& line, os::WriteFaults* faults) {
  return folder.AppendToOwn(kManifestName, line, faults) && folder.Flush(faults);
}

}  // namespace

std::optional<std::pair<std::string, uint64_t>> HashOf(os::ByteSource& file) {
  std::optional<uint64_t> size = file.Size();
  if (!size) return std::nullopt;
  Sha256 hash;
  std::vector<uint8_t> chunk(kChunk);
  for (uint64_t offset = 0; offset < *size;) {
    std::optional<uint32_t> got = file.ReadAt(offset, chunk.data(), kChunk);
    if (!got || *got == 0) return std::nullopt;
    hash.Add(chunk.data(), *got);
    offset += *got;
  }
  return std::make_pair(hash.FinishHex(), *size);
}

std::string BackupName(const std::string& name, const std::string& sha256, int attempt) {
  std::string base = EscapedForManifest(name) + "." + sha256.substr(0, 12);
  if (attempt > 0) base += "-" + std::to_string(attempt + 1);
  return base + ".kzb";
}

bool KeepBackup(const os::Folder& folder, os::File& source, const std::string& original,
                os::WriteFaults* faults) {
  auto hashed = HashOf(source);
  std::optional<os::FileAttributes> mode = source.Attributes();
  if (!hashed || !mode) return false;
  const auto& [sha256, size] = *hashed;
  // Never more than the original allows: no set-ID bits, nothing to run.
  const os::FileAttributes kept =
      os::WithoutNewPrivileges(os::FileAttributes{mode->bits & ~0111u}, os::FileIdentity{});

  for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
    std::string name = BackupName(LastComponent(original), sha256, attempt);
    if (folder.Look(name).kind != os::EntryInfo::Kind::Missing) continue;  // never over another
    os::File copy = folder.MakeNewFile(name, kept.bits, faults);
    if (!copy.IsOpen()) {
      if (folder.Look(name).kind != os::EntryInfo::Kind::Missing) continue;  // taken meanwhile
      return false;
    }
    bool good = CopyInto(source, copy, size) && HashOf(copy) == hashed;
    copy.Close();
    if (!good || !folder.Flush(faults)) {
      if (faults == nullptr || !faults->stopped()) folder.Remove(name, faults);
      return false;
    }
    return AppendLine(folder, ManifestText({false, name, size, sha256, original}), faults);
  }
  return false;
}

bool KeepBackup(const std::string& folder, os::File& file, const std::string& original,
                os::WriteFaults* faults) {
  const os::Folder opened = os::Folder::Open(folder);
  return opened.IsOpen() && KeepBackup(opened, file, original, faults);
}

}  // namespace scan
