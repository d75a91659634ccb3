// Real PE32 files that nobody here wrote survive the round trip: made into
// specimens, found infected, cleaned and their checksums repaired, they come
// back byte for byte as expected. Clean, they test clean and stay unchanged.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>

#include "engine/checksum.h"
#include "engine/disinfect.h"
#include "engine/virus_body.h"
#include "tests/support/file_bytes.h"
#include "tests/support/specimens.h"
#include "tests/support/temp_dir.h"

namespace {

namespace fs = std::filesystem;
using test_support::Le32At;
using test_support::PutLe32;
using test_support::ReadBytes;
using test_support::WriteBytes;

std::string Lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

// kernel32.dll and every 23rd further program or library of the folder.
std::vector<fs::path> Sample(const fs::path& folder) {
  std::vector<fs::path> all;
  for (const auto& entry : fs::directory_iterator(folder)) {
    std::string ext = Lower(entry.path().extension().string());
    if (entry.is_regular_file() && (ext == ".dll" || ext == ".exe")) all.push_back(entry.path());
  }
  std::sort(all.begin(), all.end());
  std::vector<fs::path> sample;
  for (size_t i = 0; i < all.size(); ++i) {
    if (i % 23 == 0 || Lower(all[i].filename().string()) == "kernel32.dll") {
      sample.push_back(all[i]);
    }
  }
  return sample;
}

bool IsInfectedFile(const std::string& path) {
  os::File file =
      os::File::Open(path, os::Access::Read, os::Share::ReadWrite, os::Disposition::OpenExisting);
  return file.IsOpen() && engine::IsInfected(file);
}

TEST(RealFiles, RoundTripThroughInfectionAndCleaning) {
  const char* folder = std::getenv("KRIZ_SAMPLE_DIR");
  ASSERT_NE(folder, nullptr) << "KRIZ_SAMPLE_DIR names the folder of real PE32 files";
  std::vector<fs::path> sample = Sample(folder);
  ASSERT_GT(sample.size(), 10u);

  test_support::TempDir dir;
  int roundTrips = 0;
  bool sawKernel = false;
  for (size_t i = 0; i < sample.size(); ++i) {
    SCOPED_TRACE(sample[i].string());
    const std::vector<uint8_t> clean = ReadBytes(sample[i].string());
    std::string path = dir.File(sample[i].filename().string());

    // Clean: tests clean through a handle that cannot write.
    WriteBytes(path, clean);
    EXPECT_FALSE(IsInfectedFile(path));
    EXPECT_EQ(ReadBytes(path), clean);

    // Keys 0 and 255 and marker positions 0 and 177 come first, then others.
    const uint8_t keys[] = {0, 255, 0x5A, 0x81};
    const uint32_t positions[] = {0, 177, 91, 13};
    specimen::InfectSpec spec{keys[i % 4], positions[(i / 4 + i) % 4], specimen::NearMiss::None};
    std::string error;
    std::optional<specimen::Infection> infection = specimen::Infect(clean, spec, &error);
    if (!infection) {
      // The builder refuses a few odd layouts (say, raw data past the end);
      // those are no specimens, and kernel32.dll must not be among them.
      EXPECT_NE(Lower(sample[i].filename().string()), "kernel32.dll") << error;
      continue;
    }
    WriteBytes(path, infection->bytes);
    ASSERT_TRUE(IsInfectedFile(path));
    {
      os::File file = os::File::Open(path, os::Access::ReadWrite, os::Share::Read,
                                     os::Disposition::OpenExisting);
      int32_t deleteInstead = 1;
      EXPECT_TRUE(engine::DisinfectFile(file, &deleteInstead));
      EXPECT_EQ(deleteInstead, 0);
    }
    EXPECT_TRUE(engine::RepairImageChecksum(path, false));

    std::vector<uint8_t> expected = test_support::ExpectedRepairedBytes(*infection);
    EXPECT_EQ(ReadBytes(path), expected);
    EXPECT_FALSE(IsInfectedFile(path));

    if (infection->kernel32Exports) {
      sawKernel = true;
      for (const auto& slot : infection->hookedSlots) EXPECT_TRUE(slot.has_value());
    }
    ++roundTrips;
  }
  EXPECT_TRUE(sawKernel) << "kernel32.dll with its 16 hooked exports";
  EXPECT_GT(roundTrips, 10);
}

}  // namespace
