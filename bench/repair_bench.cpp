// What the transaction costs: cleaning 1,000 infected programs with the
// journaled repair (plan, journal flushed, writes flushed, read back and
// verified, journal removed) beside the bare repair (plan and writes, nothing
// flushed, no journal), in one run, so that the result reads as a ratio.
// Programs with and without a header checksum; the folder is the system's
// temporary one (TMPDIR), so run it where the files would really be.
#include <benchmark/benchmark.h>

#include <filesystem>
#include <string>
#include <vector>

#include "engine/disinfect.h"
#include "engine/repair_transaction.h"
#include "tools/file_bytes.h"
#include "tools/specimen_image.h"
#include "tools/specimen_infect.h"

namespace {

namespace fs = std::filesystem;

constexpr int kPrograms = 1000;

std::vector<uint8_t> Program(uint32_t checkSum) {
  specimen::ImageSpec spec;
  spec.sections.push_back({".text", 0x6000, 0x60000020, std::vector<uint8_t>(0x6000, 0xCC)});
  spec.sections.push_back({".data", 0x2000, 0xC0000040, std::vector<uint8_t>(0x2000, 0x11)});
  spec.checkSum = checkSum;
  std::vector<uint8_t> clean = *specimen::BuildImage(spec, nullptr);
  return specimen::Infect(clean, {0x5A, 40, specimen::NearMiss::None}, nullptr)->bytes;
}

// A folder of kPrograms infected programs, written afresh for each round.
class Folder {
 public:
  explicit Folder(uint32_t checkSum) : infected_(Program(checkSum)) {
    dir_ = fs::temp_directory_path() / ("kriz-repair-bench-" + std::to_string(checkSum));
    fs::create_directories(dir_);
    for (int i = 0; i < kPrograms; ++i)
      paths_.push_back((dir_ / (std::to_string(i) + ".exe")).string());
  }
  ~Folder() { fs::remove_all(dir_); }
  void Refill() const {
    for (const std::string& path : paths_) specimen::WriteFileBytes(path, infected_);
  }
  const std::vector<std::string>& paths() const { return paths_; }

 private:
  std::vector<uint8_t> infected_;
  fs::path dir_;
  std::vector<std::string> paths_;
};

void BM_BareRepair(benchmark::State& state) {
  Folder folder(static_cast<uint32_t>(state.range(0)));
  for (auto _ : state) {
    state.PauseTiming();
    folder.Refill();
    state.ResumeTiming();
    for (const std::string& path : folder.paths()) {
      os::File file = os::File::Open(path, os::Access::ReadWrite, os::Share::Read,
                                     os::Disposition::OpenExisting);
      if (!engine::DisinfectFile(file, nullptr)) state.SkipWithError("not cleaned");
    }
  }
  state.SetItemsProcessed(state.iterations() * kPrograms);
}
BENCHMARK(BM_BareRepair)->Arg(0)->Arg(0x4321)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_JournaledRepair(benchmark::State& state) {
  Folder folder(static_cast<uint32_t>(state.range(0)));
  for (auto _ : state) {
    state.PauseTiming();
    folder.Refill();
    state.ResumeTiming();
    for (const std::string& path : folder.paths()) {
      std::optional<os::FileAttributes> cleared;
      if (engine::RepairInPlace(path, {}, &cleared).status != engine::RepairStatus::Cleaned) {
        state.SkipWithError("not cleaned");
      }
    }
  }
  state.SetItemsProcessed(state.iterations() * kPrograms);
}
BENCHMARK(BM_JournaledRepair)->Arg(0)->Arg(0x4321)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
