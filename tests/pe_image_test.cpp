// The PE view: which files it refuses, how it maps addresses, and that its
// reads and writes land only where they were aimed.
#include "engine/pe_image.h"

#include <gtest/gtest.h>

#include "tests/support/file_bytes.h"
#include "tests/support/specimens.h"
#include "tests/support/temp_dir.h"

namespace {

using engine::kNoFileOffset;
using test_support::Le32At;
using test_support::PutLe32;
using test_support::ReadBytes;
using test_support::TempDir;
using test_support::WriteBytes;

constexpr size_t kLfanew = 60;

class PeImageTest : public ::testing::Test {
 protected:
  // Writes `bytes` and opens the file for reading and writing.
  os::File Put(const std::vector<uint8_t>& bytes) {
    WriteBytes(path_, bytes);
    return os::File::Open(path_, os::Access::ReadWrite, os::Share::Read,
                          os::Disposition::OpenExisting);
  }
  bool Opens(const std::vector<uint8_t>& bytes) {
    os::File file = Put(bytes);
    engine::PeImage view;
    return view.Open(file);
  }

  TempDir dir_;
  std::string path_ = dir_.File("image.bin");
  engine::PeImage view_;
};

TEST_F(PeImageTest, RefusesWhatIsNoReadablePe32) {
  const std::vector<uint8_t> good = test_support::SmallProgram();
  ASSERT_TRUE(Opens(good));
  size_t nt = Le32At(good, kLfanew);
  struct Case {
    const char* what;
    std::vector<uint8_t> bytes;
  };
  std::vector<Case> cases;
  auto mutated = [&](const char* what, auto change) {
    std::vector<uint8_t> bytes = good;
    change(bytes);
    cases.push_back({what, bytes});
  };
  mutated("no MZ", [](auto& b) { b[0] = 'Z'; });
  mutated("shorter than the DOS header", [](auto& b) { b.resize(63); });
  mutated("cut inside the NT headers", [&](auto& b) { b.resize(nt + 247); });
  mutated("no PE signature", [&](auto& b) { b[nt + 1] = 'X'; });
  mutated("e_lfanew past the end", [](auto& b) { PutLe32(b, kLfanew, 0xFFFFFFF0u); });
  mutated("SectionAlignment 0", [&](auto& b) { PutLe32(b, nt + 56, 0); });
  mutated("FileAlignment 0", [&](auto& b) { PutLe32(b, nt + 60, 0); });
  mutated("section table cut short", [&](auto& b) { b.resize(nt + 248 + 40 + 39); });
  mutated("65535 sections", [&](auto& b) { b[nt + 6] = 0xFF, b[nt + 7] = 0xFF; });
  cases.push_back({"empty file", {}});
  for (const Case& c : cases) EXPECT_FALSE(Opens(c.bytes)) << c.what;
}

TEST_F(PeImageTest, HeaderPseudoSectionIsRoundedAndWinsFirst) {
  std::vector<uint8_t> bytes = test_support::SmallProgram();
  size_t nt = Le32At(bytes, kLfanew);
  PutLe32(bytes, nt + 84, 0x400);  // SizeOfHeaders; alignments are 0x1000 and 0x200
  os::File file = Put(bytes);
  ASSERT_TRUE(view_.Open(file));
  const auto& header = view_.Sections()[0];
  EXPECT_EQ(header.virtualSize, 0x1000u);
  EXPECT_EQ(header.sizeOfRawData, 0x400u);
  EXPECT_EQ(view_.RvaToFileOffset(0xFFF), 0xFFFu);
}

TEST_F(PeImageTest, MapsAddressesThroughTheFirstCoveringSection) {
  std::vector<uint8_t> bytes = test_support::SmallProgram();
  os::File file = Put(bytes);
  ASSERT_TRUE(view_.Open(file));
  const auto& sections = view_.Sections();
  ASSERT_EQ(sections.size(), 3u);
  const auto& text = sections[1];
  const auto& last = sections[2];
  EXPECT_EQ(view_.RvaToFileOffset(text.virtualAddress + 0x10), text.pointerToRawData + 0x10);
  EXPECT_EQ(view_.RvaToFileOffset(last.virtualAddress + last.virtualSize - 1),
            last.pointerToRawData + last.virtualSize - 1);
  EXPECT_EQ(view_.RvaToFileOffset(last.virtualAddress + last.virtualSize), kNoFileOffset);
  EXPECT_EQ(view_.EntryPointRva(), text.virtualAddress);
  EXPECT_EQ(view_.EntryPointFileOffset(), text.pointerToRawData);
}

TEST_F(PeImageTest, HostileSectionFieldsNeverWrapIntoAnotherOffset) {
  std::vector<uint8_t> bytes = test_support::SmallProgram();
  size_t nt = Le32At(bytes, kLfanew);
  size_t last = nt + 248 + 40;
  PutLe32(bytes, last + 12, 0xFFFFF000u);  // VirtualAddress
  PutLe32(bytes, last + 8, 0x2000u);       // VirtualSize: the extent passes 4 GiB
  PutLe32(bytes, last + 20, 0xFFFFFF00u);  // PointerToRawData
  os::File file = Put(bytes);
  ASSERT_TRUE(view_.Open(file));
  EXPECT_EQ(view_.RvaToFileOffset(0xFFFFF010u), 0xFFFFFF10u);
  // 0xFFFFFF00 + 0x200 would wrap to 0x100, a real place in the file.
  EXPECT_EQ(view_.RvaToFileOffset(0xFFFFF200u), kNoFileOffset);
  // An address below the section is no part of it, whatever its end wraps to.
  EXPECT_EQ(view_.RvaToFileOffset(0x500000u), kNoFileOffset);
  uint8_t byte = 0;
  EXPECT_FALSE(view_.ReadAt(kNoFileOffset, &byte, 1));
  EXPECT_FALSE(view_.ReadAt(0x80000000u, &byte, 1));
}

TEST_F(PeImageTest, SectionTableFollowsA224ByteOptionalHeaderAlways) {
  std::vector<uint8_t> bytes = test_support::SmallProgram();
  size_t nt = Le32At(bytes, kLfanew);
  bytes[nt + 20] = 240;  // SizeOfOptionalHeader as in a PE32+ image
  os::File file = Put(bytes);
  ASSERT_TRUE(view_.Open(file));
  EXPECT_EQ(view_.Sections()[1].pointerToRawData, Le32At(bytes, nt + 248 + 20));
}

// A 64-bit image's table follows its longer optional header: the view of a
// 64-bit program (the Windows program's own file in its 64-bit build) maps
// its entry point where the system loads it.
TEST_F(PeImageTest, Pe32PlusImageHasItsSectionTableAfterTheLongerHeader) {
  std::vector<uint8_t> pe32 = test_support::SmallProgram();
  std::vector<uint8_t> bytes = test_support::AsPe32Plus(pe32);
  size_t nt = Le32At(bytes, kLfanew);
  os::File file = Put(bytes);
  ASSERT_TRUE(view_.Open(file));
  EXPECT_TRUE(view_.IsPe32Plus());
  for (size_t i = 1; i <= 2; ++i) {
    EXPECT_EQ(view_.Sections()[i].pointerToRawData, Le32At(pe32, nt + 248 + 40 * (i - 1) + 20));
  }
  EXPECT_EQ(view_.EntryPointFileOffset(), Le32At(pe32, nt + 248 + 20));
}

TEST_F(PeImageTest, ZeroSectionsOpenWithOnlyTheHeaderEntry) {
  std::vector<uint8_t> bytes = test_support::SmallProgram();
  size_t nt = Le32At(bytes, kLfanew);
  bytes[nt + 6] = 0;
  bytes[nt + 7] = 0;
  os::File file = Put(bytes);
  ASSERT_TRUE(view_.Open(file));
  EXPECT_EQ(view_.Sections().size(), 1u);
}

TEST_F(PeImageTest, ReopeningReplacesTheMapAndClosingDropsIt) {
  os::File first = Put(test_support::SmallProgram());
  ASSERT_TRUE(view_.Open(first));
  std::string otherPath = dir_.File("other.bin");
  WriteBytes(otherPath, test_support::KernelLibrary());
  os::File second = os::File::Open(otherPath, os::Access::Read, os::Share::ReadWrite,
                                   os::Disposition::OpenExisting);
  ASSERT_TRUE(view_.Open(second));
  EXPECT_EQ(view_.Sections().size(), 3u);  // .text and .edata
  view_.Close();
  EXPECT_TRUE(view_.Sections().empty());
  view_.Close();  // harmless twice
}

}  // namespace
