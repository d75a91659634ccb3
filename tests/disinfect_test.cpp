// Disinfection writes back exactly what the body saved, cuts the body off,
// and leaves a file it cannot clean whole untouched.
#include "engine/disinfect.h"

#include <gtest/gtest.h>

#include "engine/virus_body.h"
#include "os/write_faults.h"
#include "tests/support/file_bytes.h"
#include "tests/support/specimens.h"
#include "tests/support/temp_dir.h"

namespace {

using test_support::ExpectedCleanBytes;
using test_support::InfectOrFail;
using test_support::Le32At;
using test_support::PutLe32;
using test_support::ReadBytes;
using test_support::WriteBytes;

// The infected file with one more section header put before the last one
// (which carries the body): raw data `rawFromBody` bytes after the body's
// start, an address far above the others.
std::vector<uint8_t> WithSectionBeforeTheLast(const specimen::Infection& infection,
                                              uint32_t rawFromBody) {
  std::vector<uint8_t> bytes = infection.bytes;
  uint32_t nt = infection.ntHeadersOffset;
  uint16_t count = static_cast<uint16_t>(bytes[nt + 6] | bytes[nt + 7] << 8);
  size_t last = infection.lastSectionHeaderOffset;
  std::copy_n(infection.bytes.begin() + long(last), 40, bytes.begin() + long(last + 40));
  std::fill_n(bytes.begin() + long(last), 40, 0);
  std::copy_n(".rsrc", 5, bytes.begin() + long(last));
  PutLe32(bytes, last + 8, 0x200);                                // VirtualSize
  PutLe32(bytes, last + 12, 0x00F00000u);                         // VirtualAddress
  PutLe32(bytes, last + 16, 0x200);                               // SizeOfRawData
  PutLe32(bytes, last + 20, infection.bodyOffset + rawFromBody);  // PointerToRawData
  bytes[nt + 6] = static_cast<uint8_t>(count + 1);
  return bytes;
}

class DisinfectTest : public ::testing::Test {
 protected:
  // Writes `bytes`, disinfects the file and returns what is left of it.
  std::vector<uint8_t> Disinfect(const std::vector<uint8_t>& bytes, bool* cleaned) {
    WriteBytes(path_, bytes);
    os::File file = os::File::Open(path_, os::Access::ReadWrite, os::Share::Read,
                                   os::Disposition::OpenExisting);
    EXPECT_TRUE(file.IsOpen());
    int32_t deleteInstead = 7;
    *cleaned = engine::DisinfectFile(file, &deleteInstead);
    EXPECT_EQ(deleteInstead, 0);
    EXPECT_TRUE(file.IsOpen());
    file.Close();
    return ReadBytes(path_);
  }
  test_support::TempDir dir_;
  std::string path_ = dir_.File("x.exe");
};

TEST_F(DisinfectTest, ProgramGetsEntryPointSectionSizeAndLengthBack) {
  const std::vector<uint8_t> clean = test_support::SmallProgram();
  for (uint32_t p : {0u, 177u}) {
    specimen::Infection infection = InfectOrFail(clean, {0xC3, p, specimen::NearMiss::None});
    bool cleaned = false;
    std::vector<uint8_t> after = Disinfect(infection.bytes, &cleaned);
    EXPECT_TRUE(cleaned);
    EXPECT_EQ(after, ExpectedCleanBytes(infection));
    EXPECT_EQ(after.size(), infection.bodyOffset);
    // Before the body the file is the clean one again, but for the header
    // fields the infection grew and disinfection leaves alone.
    std::vector<uint8_t> expected = clean;
    PutLe32(expected, infection.lastSectionHeaderOffset + 8,
            Le32At(after, infection.lastSectionHeaderOffset + 8));
    PutLe32(expected, infection.ntHeadersOffset + 80,
            Le32At(after, infection.ntHeadersOffset + 80));
    EXPECT_EQ(after, expected);
  }
}

// A lone marker at the entry point, in front of the real body: the body is
// still found, and its saved entry point is read as it was saved.
TEST_F(DisinfectTest, ALoneMarkerInFrontOfTheBodyIsPassedOver) {
  for (uint32_t realAt : {60u, 30u}) {
    specimen::Infection infection =
        InfectOrFail(test_support::SmallProgram(), {0x00, realAt, specimen::NearMiss::None});
    const uint8_t marker[5] = {0xE8, 0xD0, 0x07, 0x00, 0x00};
    for (uint32_t i = 0; i < 5; ++i) {
      infection.bytes[infection.bodyOffset + i] = static_cast<uint8_t>(marker[i] ^ 0x11);
    }
    bool cleaned = false;
    std::vector<uint8_t> after = Disinfect(infection.bytes, &cleaned);
    EXPECT_TRUE(cleaned) << "real body at " << realAt;
    EXPECT_EQ(after, ExpectedCleanBytes(infection)) << "real body at " << realAt;
  }
}

TEST_F(DisinfectTest, KernelLibraryGetsExactlyTheHookedSlotsBack) {
  // The module name test ignores case; "copyfilea" is exported too and must
  // not be taken for CopyFileA.
  for (const char* module : {"KERNEL32.dll", "kernel32.dll"}) {
    const std::vector<uint8_t> clean = test_support::KernelLibrary(module);
    specimen::Infection infection = InfectOrFail(clean, {0xFF, 33, specimen::NearMiss::None});
    int hooked = 0;
    for (const auto& slot : infection.hookedSlots) hooked += slot.has_value();
    ASSERT_EQ(hooked, 16);
    bool cleaned = false;
    std::vector<uint8_t> after = Disinfect(infection.bytes, &cleaned);
    EXPECT_TRUE(cleaned) << module;
    EXPECT_EQ(after, ExpectedCleanBytes(infection)) << module;
  }
}

TEST_F(DisinfectTest, OtherLibrariesKeepTheirExportSlots) {
  // Another module's slots are never written: the body saved none of them.
  specimen::Infection other = InfectOrFail(test_support::KernelLibrary("KERNEL33.dll"));
  bool cleaned = false;
  EXPECT_EQ(Disinfect(other.bytes, &cleaned), ExpectedCleanBytes(other));
  EXPECT_TRUE(cleaned);

  // A KERNEL32 copy renamed after its infection keeps slots that point into
  // the body: cut off, they would lead nowhere, so the file stays as it is.
  specimen::Infection infection = InfectOrFail(test_support::KernelLibrary());
  std::vector<uint8_t> renamed = infection.bytes;
  size_t at = 0;
  for (size_t i = 0; i + 12 <= renamed.size(); ++i) {
    if (std::equal(renamed.begin() + long(i), renamed.begin() + long(i) + 12, "KERNEL32.dll"))
      at = i;
  }
  ASSERT_NE(at, 0u);
  renamed[at + 7] = '3';  // KERNEL33.dll
  cleaned = true;
  EXPECT_EQ(Disinfect(renamed, &cleaned), renamed);
  EXPECT_FALSE(cleaned);
}

TEST_F(DisinfectTest, FilesItCannotCleanStayByteForByte) {
  const std::vector<uint8_t> program = test_support::SmallProgram();
  const std::vector<uint8_t> kernel = test_support::KernelLibrary();
  specimen::Infection infectedProgram = InfectOrFail(program, {0x21, 64, specimen::NearMiss::None});
  specimen::Infection infectedKernel = InfectOrFail(kernel, {0x21, 64, specimen::NearMiss::None});

  struct Case {
    const char* what;
    std::vector<uint8_t> bytes;
  };
  std::vector<Case> cases;
  cases.push_back({"clean program", program});
  cases.push_back(
      {"marker only", InfectOrFail(program, {1, 0, specimen::NearMiss::MarkerOnly}).bytes});
  cases.push_back({"not an image", {'M', 'Z', 0, 0}});
  {
    // No sections: there is no last section header to write.
    std::vector<uint8_t> bytes = infectedProgram.bytes;
    bytes[infectedProgram.ntHeadersOffset + 6] = 0;
    bytes[infectedProgram.ntHeadersOffset + 7] = 0;
    cases.push_back({"no sections", bytes});
  }
  {
    // A KERNEL32 whose body ends before the saved export values: cutting it
    // off would lose them and leave the exports pointing nowhere.
    std::vector<uint8_t> bytes = infectedKernel.bytes;
    bytes.resize(infectedKernel.markerOffset + 3017 + 10);
    cases.push_back({"saved exports cut off", bytes});
  }
  {
    // A further section after the body: cutting at the entry point would
    // take its data with it.
    std::vector<uint8_t> bytes = infectedProgram.bytes;
    uint32_t nt = infectedProgram.ntHeadersOffset;
    uint16_t count = static_cast<uint16_t>(bytes[nt + 6] | bytes[nt + 7] << 8);
    size_t header = nt + 248 + 40u * count;
    uint32_t rawStart = static_cast<uint32_t>(bytes.size());
    bytes.resize(bytes.size() + 0x200, 0x77);
    std::copy_n(infectedProgram.bytes.begin() + long(infectedProgram.lastSectionHeaderOffset), 40,
                bytes.begin() + long(header));
    PutLe32(bytes, header + 12, 0x00F00000u);  // VirtualAddress
    PutLe32(bytes, header + 16, 0x200);        // SizeOfRawData
    PutLe32(bytes, header + 20, rawStart);     // PointerToRawData
    bytes[nt + 6] = static_cast<uint8_t>(count + 1);
    cases.push_back({"data after the body", bytes});
  }
  {
    // The layout: a section listed before the body's one whose data
    // lies after the body, at the end of the file: the cut would take it.
    std::vector<uint8_t> bytes = WithSectionBeforeTheLast(infectedProgram, 4050);
    bytes.resize(bytes.size() + 0x200, 0x77);
    cases.push_back({"a section listed earlier after the body", bytes});
  }
  // The same with its data inside the body's bytes, so that nothing but the
  // section itself follows the body's start.
  cases.push_back({"a section listed earlier inside the body",
                   WithSectionBeforeTheLast(infectedProgram, 0x200)});
  {
    // An overlay appended after the body.
    std::vector<uint8_t> bytes = infectedProgram.bytes;
    bytes.resize(bytes.size() + 0x1000, 0x42);
    cases.push_back({"data after the body", bytes});
  }
  {
    // A certificate table (data directory 4, a file offset) in the tail.
    std::vector<uint8_t> bytes = infectedProgram.bytes;
    PutLe32(bytes, infectedProgram.ntHeadersOffset + 152, infectedProgram.bodyOffset + 0x10);
    PutLe32(bytes, infectedProgram.ntHeadersOffset + 156, 0x40);
    cases.push_back({"certificates after the body's start", bytes});
  }
  // A 64-bit image is laid out otherwise past the fields the view keeps; the
  // 32-bit virus never infects one, and a body in one is never cut off.
  cases.push_back({"64-bit image", test_support::AsPe32Plus(infectedProgram.bytes)});
  for (const Case& c : cases) {
    bool cleaned = true;
    EXPECT_EQ(Disinfect(c.bytes, &cleaned), c.bytes) << c.what;
    EXPECT_FALSE(cleaned) << c.what;
  }
}

TEST_F(DisinfectTest, OrdinalsOutsideTheTableAreNeverWritten) {
  specimen::Infection infection = InfectOrFail(test_support::KernelLibrary());
  // NumberOfFunctions 1: every hooked ordinal now lies outside the table.
  uint32_t nt = infection.ntHeadersOffset;
  uint32_t exportRva = Le32At(infection.bytes, nt + 120);
  uint32_t lastHeader = infection.lastSectionHeaderOffset;
  uint32_t directory = exportRva - Le32At(infection.bytes, lastHeader + 12) +
                       Le32At(infection.bytes, lastHeader + 20);
  std::vector<uint8_t> bytes = infection.bytes;
  PutLe32(bytes, directory + 20, 1);
  bool cleaned = true;
  std::vector<uint8_t> after = Disinfect(bytes, &cleaned);
  EXPECT_FALSE(cleaned);
  // Nothing written: with the slots left hooked, a restored entry point
  // would hide a library whose exports lead into the body.
  EXPECT_EQ(after, bytes);
}

// A write that fails stops the repair there, and what is left is either
// still found infected (until the entry point is written) or runs: the last
// section never shrinks under an entry point still in the body.
TEST_F(DisinfectTest, AFailedWriteStopsTheRepairWhereItLeavesTheFileWhole) {
  specimen::Infection infection = InfectOrFail(test_support::KernelLibrary("KERNEL32.dll", 0x4321));
  const uint32_t entryField = infection.ntHeadersOffset + 40;
  const uint32_t sizeField = infection.lastSectionHeaderOffset + 16;
  for (uint64_t failAt = 1;; ++failAt) {
    SCOPED_TRACE("write " + std::to_string(failAt));
    test_support::WriteBytes(path_, infection.bytes);
    os::WriteFaults faults(os::WriteFaults::Mode::IoError, failAt);
    os::File file = os::File::Open(path_, os::Access::ReadWrite, os::Share::Read,
                                   os::Disposition::OpenExisting, &faults);
    ASSERT_TRUE(file.IsOpen());
    bool cleaned = engine::DisinfectFile(file, nullptr);
    file.Close();
    std::vector<uint8_t> after = ReadBytes(path_);
    if (!faults.triggered()) {
      EXPECT_TRUE(cleaned);
      EXPECT_EQ(after, test_support::ExpectedRepairedBytes(infection));
      break;
    }
    EXPECT_FALSE(cleaned);
    bool entryRestored = Le32At(after, entryField) == infection.originalEntryRva;
    bool sectionShrunk = Le32At(after, sizeField) != Le32At(infection.bytes, sizeField);
    if (!entryRestored) {
      EXPECT_FALSE(sectionShrunk);
      os::File check = os::File::Open(path_, os::Access::Read, os::Share::ReadWrite,
                                      os::Disposition::OpenExisting);
      EXPECT_TRUE(engine::IsInfected(check));
    }
    // Every export still leads where it did or where it should.
    for (const auto& slot : infection.hookedSlots) {
      uint32_t value = Le32At(after, slot->fileOffset);
      EXPECT_TRUE(value == slot->hookRva || value == slot->savedRva);
    }
  }
}

}  // namespace
