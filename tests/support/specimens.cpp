#include "tests/support/specimens.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "engine/checksum.h"
#include "engine/disinfect.h"
#include "tests/support/file_bytes.h"
#include "tests/support/temp_dir.h"

namespace test_support {
namespace {

specimen::SectionSpec Section(const char* name, uint32_t size, uint32_t flags, uint8_t fill) {
  return specimen::SectionSpec{name, size, flags, std::vector<uint8_t>(size, fill)};
}

std::vector<uint8_t> BuildOrFail(const specimen::ImageSpec& spec) {
  std::string error;
  auto image = specimen::BuildImage(spec, &error);
  EXPECT_TRUE(image.has_value()) << error;
  return image.value_or(std::vector<uint8_t>{});
}

}  // namespace

std::vector<uint8_t> SmallProgram(uint32_t checkSum) {
  specimen::ImageSpec spec;
  spec.sections.push_back(Section(".text", 0x600, 0x60000020, 0xCC));
  spec.sections.push_back(Section(".data", 0x300, 0xC0000040, 0x11));
  spec.checkSum = checkSum;
  return BuildOrFail(spec);
}

std::vector<uint8_t> KernelLibrary(const std::string& moduleName, uint32_t checkSum) {
  specimen::ImageSpec spec;
  spec.sections.push_back(Section(".text", 0x1000, 0x60000020, 0xCC));
  spec.dll = true;
  spec.checkSum = checkSum;
  specimen::ExportSpec exports{moduleName, {"Beep", "CloseHandle", "ExitProcess", "copyfilea"}};
  for (const char* name : engine::kHookedExportNames) exports.names.push_back(name);
  spec.exports = exports;
  return BuildOrFail(spec);
}

std::vector<uint8_t> AsPe32Plus(std::vector<uint8_t> image) {
  size_t nt = Le32At(image, 60);
  size_t count = size_t{image[nt + 6]} | size_t{image[nt + 7]} << 8;
  size_t table = nt + 248;
  size_t tableEnd = table + 40 * count;
  for (size_t i = tableEnd; i < tableEnd + 16; ++i) EXPECT_EQ(image.at(i), 0) << "no slack";
  std::copy_backward(image.begin() + static_cast<ptrdiff_t>(table),
                     image.begin() + static_cast<ptrdiff_t>(tableEnd),
                     image.begin() + static_cast<ptrdiff_t>(tableEnd + 16));
  std::fill_n(image.begin() + static_cast<ptrdiff_t>(table), 16, 0);
  image[nt + 24] = 0x0B;
  image[nt + 25] = 0x02;
  return image;
}

specimen::Infection InfectOrFail(const std::vector<uint8_t>& clean,
                                 const specimen::InfectSpec& spec) {
  std::string error;
  auto infection = specimen::Infect(clean, spec, &error);
  EXPECT_TRUE(infection.has_value()) << error;
  return infection.value_or(specimen::Infection{});
}

std::vector<uint8_t> ExpectedRepairedBytes(const specimen::Infection& infection) {
  std::vector<uint8_t> expected = ExpectedCleanBytes(infection);
  uint32_t field = infection.ntHeadersOffset + 88;
  if (Le32At(expected, field) == 0) return expected;
  TempDir dir;
  std::string path = dir.File("expected.bin");
  WriteBytes(path, expected);
  os::File file =
      os::File::Open(path, os::Access::Read, os::Share::ReadWrite, os::Disposition::OpenExisting);
  auto sums = engine::ComputeImageChecksum(file);
  EXPECT_TRUE(sums.has_value());
  if (sums) PutLe32(expected, field, sums->trueSum);
  return expected;
}

}  // namespace test_support
