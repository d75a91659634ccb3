// Sweeps folders of real PE32 files through the engine: each file is tested
// clean, made into a specimen, found infected, cleaned, its checksum
// repaired, and compared with what cleaning must leave. Prints a summary with
// the time spent; exits 1 when any file did not come back as expected.
//
//   krizsweep DIR...               the round trip over every .dll and .exe
//   krizsweep --checksums DIR...   "path<TAB>header sum<TAB>true sum" per file
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "engine/checksum.h"
#include "engine/disinfect.h"
#include "engine/virus_body.h"
#include "tools/file_bytes.h"
#include "tools/specimen_expect.h"
#include "tools/specimen_infect.h"

namespace {

namespace fs = std::filesystem;

std::vector<uint8_t> Slurp(const fs::path& path) {
  return specimen::ReadFileBytes(path.string()).value_or(std::vector<uint8_t>{});
}

void Spill(const fs::path& path, const std::vector<uint8_t>& bytes) {
  specimen::WriteFileBytes(path.string(), bytes);
}

os::File OpenForReading(const std::string& path) {
  return os::File::Open(path, os::Access::Read, os::Share::ReadWrite,
                        os::Disposition::OpenExisting);
}

std::vector<fs::path> Programs(const std::vector<std::string>& folders) {
  std::vector<fs::path> files;
  for (const std::string& folder : folders) {
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(folder, error)) {
      std::string ext = entry.path().extension().string();
      std::transform(ext.begin(), ext.end(), ext.begin(),
                     [](unsigned char c) { return char(std::tolower(c)); });
      if (entry.is_regular_file() && (ext == ".dll" || ext == ".exe"))
        files.push_back(entry.path());
    }
  }
  std::sort(files.begin(), files.end());
  return files;
}

int PrintChecksums(const std::vector<fs::path>& files) {
  for (const fs::path& path : files) {
    os::File file = OpenForReading(path.string());
    auto sums = engine::ComputeImageChecksum(file);
    if (!sums) continue;
    std::printf("%s\t%08x\t%08x\n", path.string().c_str(), sums->headerSum, sums->trueSum);
  }
  return 0;
}

// One file's round trip; an empty string when it came back as expected.
std::string RoundTrip(const std::vector<uint8_t>& clean, const specimen::Infection& infection,
                      const std::string& work) {
  Spill(work, clean);
  {
    os::File file = OpenForReading(work);
    if (engine::IsInfected(file)) return "clean file tests infected";
  }
  Spill(work, infection.bytes);
  {
    os::File file = OpenForReading(work);
    if (!engine::IsInfected(file)) return "specimen not found";
  }
  {
    os::File file =
        os::File::Open(work, os::Access::ReadWrite, os::Share::Read, os::Disposition::OpenExisting);
    if (!engine::DisinfectFile(file, nullptr)) return "disinfection failed";
  }
  if (!engine::RepairImageChecksum(work, false)) return "checksum repair failed";

  std::vector<uint8_t> expected = specimen::ExpectedCleanBytes(infection);
  uint32_t field = infection.ntHeadersOffset + 88;
  std::vector<uint8_t> after = Slurp(work);
  if (after.size() != expected.size()) return "length differs";
  // The checksum field is the engine's to compute; every other byte is known.
  if (field + 4 <= after.size()) std::copy_n(after.data() + field, 4, expected.data() + field);
  if (after != expected) return "bytes differ";
  return {};
}

int Sweep(const std::vector<fs::path>& files) {
  fs::path work = fs::temp_directory_path() / "krizsweep.tmp";
  size_t specimens = 0, refused = 0, bytes = 0;
  std::vector<std::string> failures;
  auto start = std::chrono::steady_clock::now();
  for (size_t i = 0; i < files.size(); ++i) {
    std::vector<uint8_t> clean = Slurp(files[i]);
    specimen::InfectSpec spec{static_cast<uint8_t>(i * 37), static_cast<uint32_t>(i % 178),
                              specimen::NearMiss::None};
    auto infection = specimen::Infect(clean, spec, nullptr);
    if (!infection) {
      ++refused;
      continue;
    }
    ++specimens;
    bytes += clean.size();
    std::string failure = RoundTrip(clean, *infection, work.string());
    if (!failure.empty()) failures.push_back(files[i].string() + ": " + failure);
  }
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::error_code ignored;
  fs::remove(work, ignored);
  for (const std::string& failure : failures) std::printf("FAILED %s\n", failure.c_str());
  std::printf("files %zu, specimens %zu, refused by the builder %zu, failed %zu\n", files.size(),
              specimens, refused, failures.size());
  std::printf("%.2f s, %.1f files/s, %.1f MiB/s of clean files\n", seconds,
              double(specimens) / seconds, double(bytes) / seconds / (1024.0 * 1024.0));
  return failures.empty() ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  bool checksums = argc > 1 && std::strcmp(argv[1], "--checksums") == 0;
  std::vector<std::string> folders(argv + 1 + (checksums ? 1 : 0), argv + argc);
  if (folders.empty()) {
    std::fprintf(stderr, "usage: krizsweep [--checksums] DIR...\n");
    return 2;
  }
  std::vector<fs::path> files = Programs(folders);
  return checksums ? PrintChecksums(files) : Sweep(files);
}
