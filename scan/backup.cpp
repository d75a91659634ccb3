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

// The SHA-256 and size of what `file` holds; nullopt when it cannot be read.
std::optional<std::pair<std::string, uint64_t>> HashOf(os::File& file) {
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

std::string Joined(const std::string& folder, const std::string& name) {
  if (folder.empty()) return name;
  char last = folder.back();
  bool separated = last == os::PathSeparator() || (os::PathSeparator() == '\\' && last == '/');
  return separated ? folder + name : folder + os::PathSeparator() + name;
}

std::string LastComponent(const std::string& path) {
  size_t at = os::PathSeparator() == '\\' ? path.find_last_of("\\/") : path.rfind('/');
  return at == std::string::npos ? path : path.substr(at + 1);
}

std::string EscapedForManifest(const std::string& text) {
  std::string escaped;
  for (char character : text) {
    auto c = static_cast<unsigned char>(character);
    if (c < 0x20 || c == 0x7F || c == '%') {
      char code[4];
      std::snprintf(code, sizeof code, "%%%02X", c);
      escaped += code;
    } else {
      escaped += character;
    }
  }
  return escaped;
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

bool AppendLine(const std::string& manifest, const std::string& line, os::WriteFaults* faults) {
  return os::AppendToFile(manifest, line, faults) && os::FlushFolderOf(manifest, faults);
}

}  // namespace

std::string BackupName(const std::string& name, const std::string& sha256, int attempt) {
  std::string base = name + "." + sha256.substr(0, 12);
  if (attempt > 0) base += "-" + std::to_string(attempt + 1);
  return base + ".kzb";
}

bool KeepBackup(const std::string& folder, const std::string& path, const std::string& original,
                os::WriteFaults* faults) {
  os::File source =
      os::File::Open(path, os::Access::Read, os::Share::ReadWrite, os::Disposition::OpenExisting);
  if (!source.IsOpen()) return false;
  auto hashed = HashOf(source);
  if (!hashed) return false;
  const auto& [sha256, size] = *hashed;

  for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
    std::string name = BackupName(LastComponent(original), sha256, attempt);
    std::string target = Joined(folder, name);
    if (os::ReadAttributes(target)) continue;  // taken: never over another file
    os::File copy = os::File::Open(target, os::Access::ReadWrite, os::Share::None,
                                   os::Disposition::CreateNew, faults);
    if (!copy.IsOpen()) {
      if (os::ReadAttributes(target)) continue;  // taken meanwhile
      return false;
    }
    bool kept = CopyInto(source, copy, size) && HashOf(copy) == hashed;
    copy.Close();
    if (!kept || !os::FlushFolderOf(target, faults)) {
      if (faults == nullptr || !faults->stopped()) os::RemoveFile(target, faults);
      return false;
    }
    const char* end = os::PathSeparator() == '\\' ? "\r\n" : "\n";
    std::string line = name + "\t" + std::to_string(size) + "\t" + sha256 + "\t" +
                       EscapedForManifest(original) + end;
    return AppendLine(Joined(folder, kManifestName), line, faults);
  }
  return false;
}

}  // namespace scan
