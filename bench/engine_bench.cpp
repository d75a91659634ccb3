// The engine's costs on a real library (Wine's kernel32.dll), each beside the
// bare I/O it cannot avoid, so that results read as ratios to that baseline.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <filesystem>
#include <vector>

#include "engine/checksum.h"
#include "engine/disinfect.h"
#include "engine/virus_body.h"
#include "tools/file_bytes.h"
#include "tools/specimen_infect.h"

namespace {

namespace fs = std::filesystem;

const char* const kSample = "/usr/lib/i386-linux-gnu/wine/i386-windows/kernel32.dll";

std::vector<uint8_t> Slurp(const fs::path& path) {
  return specimen::ReadFileBytes(path.string()).value_or(std::vector<uint8_t>{});
}

void Spill(const fs::path& path, const std::vector<uint8_t>& bytes) {
  specimen::WriteFileBytes(path.string(), bytes);
}

// The clean library and a specimen of it, written once into the temp folder.
struct Files {
  fs::path clean = fs::temp_directory_path() / "kriz-bench-clean.dll";
  fs::path infected = fs::temp_directory_path() / "kriz-bench-infected.dll";
  std::vector<uint8_t> infectedBytes;
  Files() {
    std::vector<uint8_t> bytes = Slurp(kSample);
    Spill(clean, bytes);
    infectedBytes = specimen::Infect(bytes, {0x5A, 100, specimen::NearMiss::None}, nullptr)->bytes;
    Spill(infected, infectedBytes);
  }
};

const Files& TheFiles() {
  static Files files;
  return files;
}

os::File OpenForReading(const fs::path& path) {
  return os::File::Open(path.string(), os::Access::Read, os::Share::ReadWrite,
                        os::Disposition::OpenExisting);
}

// Baseline of the per-file test: open the file and read 256 bytes.
void BM_OpenAndRead256(benchmark::State& state) {
  uint8_t window[256];
  for (auto _ : state) {
    os::File file = OpenForReading(TheFiles().clean);
    benchmark::DoNotOptimize(file.ReadAt(0x400, window, sizeof window));
  }
}
BENCHMARK(BM_OpenAndRead256);

void BM_IsInfected(benchmark::State& state) {
  const fs::path& path = state.range(0) != 0 ? TheFiles().infected : TheFiles().clean;
  for (auto _ : state) {
    os::File file = OpenForReading(path);
    benchmark::DoNotOptimize(engine::IsInfected(file));
  }
}
BENCHMARK(BM_IsInfected)->Arg(0)->Arg(1)->ArgName("infected");

// Baseline of the checksum: read the whole file in 64 KiB pieces.
void BM_ReadWholeFile(benchmark::State& state) {
  std::vector<uint8_t> chunk(1u << 16);
  for (auto _ : state) {
    os::File file = OpenForReading(TheFiles().clean);
    uint64_t offset = 0;
    while (auto got = file.ReadAt(offset, chunk.data(), static_cast<uint32_t>(chunk.size()))) {
      if (*got == 0) break;
      offset += *got;
    }
    state.SetBytesProcessed(state.bytes_processed() + static_cast<int64_t>(offset));
  }
}
BENCHMARK(BM_ReadWholeFile);

void BM_ComputeImageChecksum(benchmark::State& state) {
  for (auto _ : state) {
    os::File file = OpenForReading(TheFiles().clean);
    auto sums = engine::ComputeImageChecksum(file);
    benchmark::DoNotOptimize(sums);
    state.SetBytesProcessed(state.bytes_processed() + static_cast<int64_t>(*file.Size()));
  }
}
BENCHMARK(BM_ComputeImageChecksum);

// Disinfecting the KERNEL32 specimen, export slots included; the specimen is
// rewritten outside the timed part.
void BM_DisinfectKernel32(benchmark::State& state) {
  fs::path work = fs::temp_directory_path() / "kriz-bench-work.dll";
  for (auto _ : state) {
    state.PauseTiming();
    Spill(work, TheFiles().infectedBytes);
    state.ResumeTiming();
    os::File file = os::File::Open(work.string(), os::Access::ReadWrite, os::Share::Read,
                                   os::Disposition::OpenExisting);
    benchmark::DoNotOptimize(engine::DisinfectFile(file, nullptr));
  }
  std::remove(work.string().c_str());
}
BENCHMARK(BM_DisinfectKernel32);

}  // namespace

BENCHMARK_MAIN();
