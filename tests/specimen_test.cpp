// Checks the specimen builders against their own description of the PE32
// format and of the infection layout, with a reader written separately here.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "tools/specimen_image.h"
#include "tools/specimen_infect.h"

namespace {

using specimen::BuildImage;
using specimen::ExportSpec;
using specimen::ImageSpec;
using specimen::Infect;
using specimen::Infection;
using specimen::InfectSpec;
using specimen::NearMiss;
using specimen::SectionSpec;
using Bytes = std::vector<uint8_t>;

constexpr uint32_t kBody = 4050;
const std::string kSignature("Q-7713 / Vostrel Kanda\0", 23);
const std::array<std::string, 16> kHooked = {
    "CopyFileA",          "CreateFileA", "CreateProcessA", "DeleteFileA",
    "GetFileAttributesA", "MoveFileA",   "MoveFileExA",    "SetFileAttributesA",
    "CopyFileW",          "CreateFileW", "CreateProcessW", "DeleteFileW",
    "GetFileAttributesW", "MoveFileW",   "MoveFileExW",    "SetFileAttributesW"};

uint32_t U32(const Bytes& b, uint64_t at) {
  if (at + 4 > b.size()) {
    ADD_FAILURE() << "read of 4 bytes at " << at << " past " << b.size();
    return 0;
  }
  const size_t i = static_cast<size_t>(at);
  return static_cast<uint32_t>(b[i] | b[i + 1] << 8 | b[i + 2] << 16) |
         static_cast<uint32_t>(b[i + 3]) << 24;
}
uint16_t U16(const Bytes& b, uint64_t at) {
  if (at + 2 > b.size()) {
    ADD_FAILURE() << "read of 2 bytes at " << at << " past " << b.size();
    return 0;
  }
  const size_t i = static_cast<size_t>(at);
  return static_cast<uint16_t>(b[i] | b[i + 1] << 8);
}
void Put32(Bytes& b, size_t at, uint32_t v) {
  for (size_t i = 0; i < 4; ++i) b.at(at + i) = static_cast<uint8_t>(v >> (8 * i));
}
std::string CString(const Bytes& b, uint32_t at) {
  std::string s;
  while (at < b.size() && b[at] != 0) s.push_back(static_cast<char>(b[at++]));
  return s;
}

struct Section {
  uint32_t header, virtualSize, va, rawSize, raw, characteristics;
};
struct Headers {
  uint32_t nt = 0, entry = 0, sectionAlignment = 0, fileAlignment = 0, sizeOfImage = 0,
           sizeOfHeaders = 0, checkSum = 0, exportRva = 0, exportSize = 0;
  uint16_t characteristics = 0;
  std::vector<Section> sections;
};

Headers Parse(const Bytes& b) {
  Headers h;
  h.nt = U32(b, 60);
  h.characteristics = U16(b, h.nt + 22);
  h.entry = U32(b, h.nt + 40);
  h.sectionAlignment = U32(b, h.nt + 56);
  h.fileAlignment = U32(b, h.nt + 60);
  h.sizeOfImage = U32(b, h.nt + 80);
  h.sizeOfHeaders = U32(b, h.nt + 84);
  h.checkSum = U32(b, h.nt + 88);
  h.exportRva = U32(b, h.nt + 120);
  h.exportSize = U32(b, h.nt + 124);
  const uint16_t count = U16(b, h.nt + 6);
  for (uint32_t i = 0; i < count; ++i) {
    const uint32_t at = h.nt + 248 + 40 * i;
    h.sections.push_back(
        {at, U32(b, at + 8), U32(b, at + 12), U32(b, at + 16), U32(b, at + 20), U32(b, at + 36)});
  }
  return h;
}

std::optional<uint32_t> Offset(const Headers& h, uint32_t rva) {
  if (rva < h.sizeOfHeaders) return rva;
  for (const Section& s : h.sections) {
    if (rva >= s.va && rva - s.va < s.virtualSize) return s.raw + (rva - s.va);
  }
  return std::nullopt;
}

struct Export {
  std::string name;
  uint16_t ordinal;
  uint32_t slot;  // file offset of the export address table entry
};
struct Exports {
  std::string module;
  std::vector<Export> byName;  // name pointer table order
};

Exports ReadExports(const Bytes& b, const Headers& h) {
  Exports out;
  const uint32_t dir = Offset(h, h.exportRva).value_or(0);
  out.module = CString(b, Offset(h, U32(b, dir + 12)).value_or(0));
  const uint32_t names = Offset(h, U32(b, dir + 32)).value_or(0);
  const uint32_t ordinals = Offset(h, U32(b, dir + 36)).value_or(0);
  const uint32_t functions = Offset(h, U32(b, dir + 28)).value_or(0);
  for (uint32_t i = 0; i < U32(b, dir + 24); ++i) {
    const uint16_t ordinal = U16(b, ordinals + 2 * i);
    out.byName.push_back({CString(b, Offset(h, U32(b, names + 4 * i)).value_or(0)), ordinal,
                          functions + 4u * ordinal});
  }
  return out;
}

uint8_t Plain(const Infection& inf, uint32_t fromMarker) {
  return static_cast<uint8_t>(inf.bytes.at(inf.markerOffset + fromMarker) ^ inf.key);
}
uint32_t Plain32(const Infection& inf, uint32_t fromMarker) {
  return U32(inf.bytes, inf.markerOffset + fromMarker) ^ (inf.key * 0x01010101u);
}
std::string PlainSignature(const Infection& inf) {
  std::string s;
  for (uint32_t i = 0; i < 23; ++i) s.push_back(static_cast<char>(Plain(inf, 56 + i)));
  return s;
}

// Offsets below `end` where two files differ.
std::set<uint32_t> Changed(const Bytes& a, const Bytes& b, uint32_t end) {
  std::set<uint32_t> changed;
  for (uint32_t i = 0; i < end; ++i) {
    if (a.at(i) != b.at(i)) changed.insert(i);
  }
  return changed;
}
void AddField(std::set<uint32_t>& set, uint32_t at) {
  for (uint32_t i = 0; i < 4; ++i) set.insert(at + i);
}

ImageSpec Program() {
  ImageSpec spec;
  spec.sections.push_back({".text", 0x300, 0x60000020, Bytes(0x300, 0xCC)});
  Bytes data(0x80);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 7 + 1);
  spec.sections.push_back({".data", 0x1800, 0xC0000040, data});
  spec.checkSum = 0x00C0FFEE;
  return spec;
}

ImageSpec Library(const std::string& module, std::vector<std::string> names) {
  ImageSpec spec = Program();
  spec.dll = true;
  spec.exports = ExportSpec{module, std::move(names)};
  return spec;
}

// The hooked names out of order, with look-alikes that must stay untouched.
std::vector<std::string> Kernel32Names() {
  std::vector<std::string> names(kHooked.rbegin(), kHooked.rend());
  names.insert(names.end(), {"copyfilea", "CopyFileAW", "GetVersion", "Beep"});
  return names;
}

Bytes Build(const ImageSpec& spec) {
  std::string error;
  std::optional<Bytes> image = BuildImage(spec, &error);
  EXPECT_TRUE(image) << error;
  return image.value_or(Bytes{});
}

Infection MustInfect(const Bytes& clean, const InfectSpec& spec) {
  std::string error;
  std::optional<Infection> inf = Infect(clean, spec, &error);
  EXPECT_TRUE(inf) << error;
  return inf.value_or(Infection{});
}

TEST(BuildImage, HeadersAndSectionsParseBackConsistently) {
  struct Case {
    uint32_t fileAlignment, sectionAlignment;
    bool dll;
  };
  for (const Case& c : {Case{0x200, 0x1000, false}, Case{0x200, 0x200, true}}) {
    SCOPED_TRACE(c.sectionAlignment);
    ImageSpec spec = Program();
    spec.fileAlignment = c.fileAlignment;
    spec.sectionAlignment = c.sectionAlignment;
    spec.dll = c.dll;
    const Bytes image = Build(spec);
    const Headers h = Parse(image);

    EXPECT_EQ(U16(image, 0), 0x5A4D);
    EXPECT_EQ(U32(image, h.nt), 0x00004550u);
    EXPECT_EQ(U16(image, h.nt + 4), 0x14C);
    EXPECT_EQ(U16(image, h.nt + 20), 224);
    EXPECT_EQ(U16(image, h.nt + 24), 0x10B);
    EXPECT_EQ(U32(image, h.nt + 116), 16u);
    EXPECT_EQ((h.characteristics & 0x2000) != 0, c.dll);
    EXPECT_EQ(h.checkSum, spec.checkSum);
    EXPECT_EQ(h.exportRva, 0u);
    EXPECT_EQ(h.sectionAlignment, c.sectionAlignment);
    EXPECT_EQ(h.fileAlignment, c.fileAlignment);
    EXPECT_EQ(h.sizeOfHeaders % c.fileAlignment, 0u);
    EXPECT_GE(h.sizeOfHeaders, h.nt + 248 + 40 * h.sections.size());

    ASSERT_EQ(h.sections.size(), spec.sections.size());
    EXPECT_EQ(h.entry, h.sections[0].va);
    uint32_t previousEnd = h.sizeOfHeaders;
    uint32_t previousVirtualEnd = h.sizeOfHeaders;
    for (size_t i = 0; i < h.sections.size(); ++i) {
      const Section& s = h.sections[i];
      const SectionSpec& want = spec.sections[i];
      EXPECT_EQ(CString(image, s.header).substr(0, 8), want.name);
      EXPECT_EQ(s.virtualSize, want.virtualSize);
      EXPECT_EQ(s.characteristics, want.characteristics);
      EXPECT_EQ(s.va % c.sectionAlignment, 0u);
      EXPECT_GE(s.va, previousVirtualEnd);
      EXPECT_EQ(s.raw % c.fileAlignment, 0u);
      EXPECT_GE(s.raw, previousEnd);
      EXPECT_EQ(s.rawSize % c.fileAlignment, 0u);
      ASSERT_LE(uint64_t{s.raw} + s.rawSize, image.size());
      EXPECT_TRUE(std::equal(want.data.begin(), want.data.end(), image.data() + s.raw));
      previousEnd = s.raw + s.rawSize;
      previousVirtualEnd = s.va + std::max<uint32_t>(s.virtualSize, s.rawSize);
    }
    EXPECT_EQ(previousEnd, image.size());
    EXPECT_EQ(h.sizeOfImage % c.sectionAlignment, 0u);
    EXPECT_GE(h.sizeOfImage, previousVirtualEnd);
  }
}

TEST(BuildImage, ExportsMapNamesThroughPermutedOrdinalsToDistinctFunctions) {
  const std::vector<std::string> names = {"Zeta", "Alpha", "Mid", "Beta", "alpha"};
  ImageSpec withCode = Library("Demo.dll", names);
  ImageSpec dataOnly = Library("Demo.dll", names);
  dataOnly.sections.erase(dataOnly.sections.begin());  // no code section to point into
  for (const ImageSpec& spec : {withCode, dataOnly}) {
    SCOPED_TRACE(spec.sections.size());
    const Bytes image = Build(spec);
    const Headers h = Parse(image);
    const Section& edata = h.sections.back();
    EXPECT_EQ(CString(image, edata.header), ".edata");
    EXPECT_EQ(h.exportRva, edata.va);
    EXPECT_LE(h.exportSize, edata.virtualSize);
    const Exports exports = ReadExports(image, h);
    EXPECT_EQ(exports.module, "Demo.dll");

    std::vector<std::string> listed;
    std::set<uint32_t> functions;
    bool ordinalsFollowNames = true;
    for (size_t i = 0; i < exports.byName.size(); ++i) {
      const Export& e = exports.byName[i];
      listed.push_back(e.name);
      ordinalsFollowNames = ordinalsFollowNames && e.ordinal == i;
      const uint32_t rva = U32(image, e.slot);
      functions.insert(rva);
      // Mapped, and outside the directory (an address inside it is a forwarder).
      EXPECT_TRUE(Offset(h, rva)) << e.name;
      EXPECT_FALSE(rva >= h.exportRva && rva < h.exportRva + h.exportSize) << e.name;
      if (spec.sections.front().characteristics & 0x20) {
        EXPECT_GE(rva, h.sections[0].va);
        EXPECT_LT(rva, h.sections[0].va + h.sections[0].virtualSize);
      }
    }
    std::vector<std::string> sorted = names;
    std::sort(sorted.begin(), sorted.end());
    EXPECT_EQ(listed, sorted);
    EXPECT_FALSE(ordinalsFollowNames);
    EXPECT_EQ(functions.size(), names.size());
    EXPECT_EQ(U32(image, Offset(h, h.exportRva).value() + 20), names.size());
  }
}

TEST(BuildImage, RefusesSpecsThatCannotMakeAWellFormedImage) {
  struct Case {
    const char* what;
    void (*spoil)(ImageSpec&);
  };
  const Case cases[] = {
      {"zero file alignment", [](ImageSpec& s) { s.fileAlignment = 0; }},
      {"section alignment not a power of two", [](ImageSpec& s) { s.sectionAlignment = 0x1800; }},
      {"file alignment above section alignment", [](ImageSpec& s) { s.fileAlignment = 0x2000; }},
      {"long section name", [](ImageSpec& s) { s.sections[0].name = ".textlong"; }},
      {"duplicate export",
       [](ImageSpec& s) {
         s.exports = ExportSpec{"A.dll", {"F", "G", "F"}};
       }},
      {"empty export name",
       [](ImageSpec& s) {
         s.exports = ExportSpec{"A.dll", {"F", ""}};
       }},
      {"no export names",
       [](ImageSpec& s) {
         s.exports = ExportSpec{"A.dll", {}};
       }},
      {"sections past 4 GiB", [](ImageSpec& s) { s.sections[1].virtualSize = 0xFFFFF000; }},
  };
  for (const Case& c : cases) {
    ImageSpec spec = Program();
    c.spoil(spec);
    std::string error;
    EXPECT_FALSE(BuildImage(spec, &error)) << c.what;
    EXPECT_FALSE(error.empty()) << c.what;
  }
}

TEST(Infect, LaysOutTheBodyAndGrowsTheLastSection) {
  struct Case {
    uint8_t key;
    uint32_t pos;
    size_t overlay;            // bytes after the last section's raw data
    uint32_t lastVirtualSize;  // small ones must grow, with SizeOfImage, to cover the body
  };
  for (const Case& c : {Case{0x5A, 0, 0, 0x1800}, Case{0x00, 177, 0, 0x80},
                        Case{0xFF, 77, 0x37, 0x80}, Case{0xA5, specimen::kMaxMarkerPos, 3, 0x80}}) {
    SCOPED_TRACE(testing::Message() << "key " << int{c.key} << " pos " << c.pos);
    ImageSpec spec = Program();
    spec.sections.back().virtualSize = c.lastVirtualSize;
    Bytes clean = Build(spec);
    for (size_t i = 0; i < c.overlay; ++i) clean.push_back(static_cast<uint8_t>(0x80 + i));
    const Headers before = Parse(clean);
    const Infection inf = MustInfect(clean, {c.key, c.pos, NearMiss::None});
    const uint32_t e = static_cast<uint32_t>(clean.size());
    const Section& last = before.sections.back();
    ASSERT_EQ(inf.bytes.size(), e + kBody);
    EXPECT_EQ(inf.bodyOffset, e);
    EXPECT_EQ(inf.markerOffset, e + c.pos);
    EXPECT_EQ(inf.originalEntryRva, before.entry);

    // The body: marker, key, saved entry point, signature, empty saved exports, filler.
    const uint8_t marker[5] = {0xE8, 0xD0, 0x07, 0x00, 0x00};
    for (uint32_t i = 0; i < 5; ++i) EXPECT_EQ(Plain(inf, i), marker[i]) << i;
    EXPECT_EQ(inf.bytes[inf.markerOffset + 3], c.key);
    EXPECT_EQ(Plain32(inf, 27), before.entry);
    EXPECT_EQ(PlainSignature(inf), kSignature);
    for (uint32_t j = 0; j < 16; ++j) EXPECT_EQ(Plain32(inf, 3017 + 4 * j), 0u) << j;
    const auto inField = [&](uint32_t at) {
      const uint32_t m = at - inf.markerOffset;  // wraps high for bytes before the marker
      return m < 5 || (m >= 27 && m < 31) || (m >= 56 && m < 79) || (m >= 3017 && m < 3081);
    };
    for (uint32_t at = e; at < inf.bytes.size(); ++at) {
      if (!inField(at)) {
        EXPECT_EQ(inf.bytes[at], c.key) << "filler at body offset " << at - e;
      }
    }

    // The headers: entry point on the body, last section grown over it.
    const Headers after = Parse(inf.bytes);
    const Section& grown = after.sections.back();
    EXPECT_EQ(after.entry, last.va + (e - last.raw));
    EXPECT_EQ(inf.entryRva, after.entry);
    EXPECT_EQ(Offset(after, after.entry), e);
    EXPECT_EQ(grown.rawSize, e + kBody - last.raw);
    EXPECT_EQ(grown.virtualSize, std::max(last.virtualSize, e + kBody - last.raw));
    EXPECT_EQ(grown.characteristics, last.characteristics);
    EXPECT_GE(after.sizeOfImage, grown.va + grown.virtualSize);
    EXPECT_EQ(after.sizeOfImage % after.sectionAlignment, 0u);
    EXPECT_EQ(after.checkSum, before.checkSum);
    EXPECT_EQ(inf.lastSectionHeaderOffset, last.header);
    EXPECT_EQ(inf.lastSectionRawOffset, last.raw);

    std::set<uint32_t> allowed;
    AddField(allowed, before.nt + 40);
    AddField(allowed, before.nt + 80);
    AddField(allowed, last.header + 8);
    AddField(allowed, last.header + 16);
    for (uint32_t at : Changed(clean, inf.bytes, e)) EXPECT_TRUE(allowed.count(at)) << at;
  }
}

TEST(Infect, HooksTheSixteenSlotsOnlyInAKernel32) {
  std::vector<std::string> partial = Kernel32Names();
  partial.erase(std::remove(partial.begin(), partial.end(), "MoveFileW"), partial.end());
  partial.erase(std::remove(partial.begin(), partial.end(), "CopyFileA"), partial.end());
  struct Case {
    std::string module;
    std::vector<std::string> names;
    bool hooked;
  };
  const Case cases[] = {
      {"KERNEL32.dll", Kernel32Names(), true},   {"kernel32.DLL", Kernel32Names(), true},
      {"Kernel32.Dll", partial, true},           {"KERNEL32.dl", Kernel32Names(), false},
      {"KERNEL32.dll.", Kernel32Names(), false}, {"USER32.dll", Kernel32Names(), false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.module + (c.names.size() < 20 ? " (partial)" : ""));
    const Bytes clean = Build(Library(c.module, c.names));
    const Infection inf = MustInfect(clean, {0x3C, 21, NearMiss::None});
    EXPECT_EQ(inf.kernel32Exports, c.hooked);
    const Headers h = Parse(clean);
    const Exports exports = ReadExports(clean, h);
    std::set<uint32_t> allowed;
    AddField(allowed, h.nt + 40);
    AddField(allowed, h.nt + 80);
    AddField(allowed, h.sections.back().header + 8);
    AddField(allowed, h.sections.back().header + 16);

    std::array<bool, 16> exported{};
    for (const Export& e : exports.byName) {
      const auto hooked = std::find(kHooked.begin(), kHooked.end(), e.name);
      const uint32_t old = U32(clean, e.slot);
      const uint32_t now = U32(inf.bytes, e.slot);
      if (!c.hooked || hooked == kHooked.end()) {
        EXPECT_EQ(now, old) << e.name;
        continue;
      }
      const size_t j = static_cast<size_t>(hooked - kHooked.begin());
      exported[j] = true;
      EXPECT_GE(now, inf.bodyRva) << e.name;
      EXPECT_LT(now, inf.bodyRva + kBody) << e.name;
      EXPECT_EQ(Plain32(inf, static_cast<uint32_t>(3017 + 4 * j)), old) << e.name;
      ASSERT_TRUE(inf.hookedSlots[j]) << e.name;
      EXPECT_EQ(inf.hookedSlots[j]->fileOffset, e.slot);
      EXPECT_EQ(inf.hookedSlots[j]->savedRva, old);
      EXPECT_EQ(inf.hookedSlots[j]->hookRva, now);
      AddField(allowed, e.slot);
    }
    for (size_t j = 0; j < 16; ++j) {
      if (exported[j]) continue;
      EXPECT_FALSE(inf.hookedSlots[j]) << kHooked[j];
      EXPECT_EQ(Plain32(inf, static_cast<uint32_t>(3017 + 4 * j)), 0u) << kHooked[j];
    }
    const size_t expectedHooks = !c.hooked ? 0 : c.names.size() == partial.size() ? 14 : 16;
    EXPECT_EQ(std::count(exported.begin(), exported.end(), true), expectedHooks);
    for (uint32_t at : Changed(clean, inf.bytes, inf.bodyOffset))
      EXPECT_TRUE(allowed.count(at)) << at;
  }
}

TEST(Infect, SignatureNearMissesChangeOnlyTheSignature) {
  struct Case {
    NearMiss kind;
    std::string plain;  // the 23 decrypted signature bytes; empty: check the terminator only
  };
  const Case cases[] = {
      {NearMiss::SignatureOffByOne, std::string("Q-8713 / Vostrel Kanda\0", 23)},
      {NearMiss::SignatureCase, std::string("Q-7713 / vostrel Kanda\0", 23)},
      {NearMiss::MarkerOnly, std::string(23, '\0')},
      {NearMiss::MissingTerminator, ""},
  };
  const Bytes clean = Build(Library("KERNEL32.dll", Kernel32Names()));
  const Infection base = MustInfect(clean, {0x5A, 40, NearMiss::None});
  for (const Case& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.kind));
    const Infection miss = MustInfect(clean, {0x5A, 40, c.kind});
    ASSERT_EQ(miss.bytes.size(), base.bytes.size());
    for (uint32_t at : Changed(base.bytes, miss.bytes, static_cast<uint32_t>(base.bytes.size()))) {
      EXPECT_GE(at, base.markerOffset + 56);
      EXPECT_LE(at, base.markerOffset + 78);
    }
    if (c.plain.empty()) {
      EXPECT_EQ(PlainSignature(miss).substr(0, 22), kSignature.substr(0, 22));
      EXPECT_NE(Plain(miss, 78), 0);
    } else {
      EXPECT_EQ(PlainSignature(miss), c.plain);
    }
  }
}

TEST(Infect, BodyCutShortLeavesFewerThan256BytesAfterTheEntryPoint) {
  const Bytes clean = Build(Program());
  const Infection base = MustInfect(clean, {0x11, 0, NearMiss::None});
  const Infection cut = MustInfect(clean, {0x11, 0, NearMiss::BodyCutShort});
  EXPECT_LT(cut.bytes.size(), clean.size() + 256);
  EXPECT_GT(cut.bytes.size(), clean.size() + 78);  // marker and signature still there
  EXPECT_TRUE(std::equal(cut.bytes.begin(), cut.bytes.end(), base.bytes.begin()));
}

TEST(Infect, EntryInNoSectionMovesOnlyTheEntryPoint) {
  const Bytes clean = Build(Program());
  const Infection base = MustInfect(clean, {0x11, 0, NearMiss::None});
  const Infection lost = MustInfect(clean, {0x11, 0, NearMiss::EntryInNoSection});
  const Headers h = Parse(lost.bytes);
  std::set<uint32_t> entryField;
  AddField(entryField, h.nt + 40);
  for (uint32_t at : Changed(base.bytes, lost.bytes, static_cast<uint32_t>(base.bytes.size()))) {
    EXPECT_TRUE(entryField.count(at)) << at;
  }
  EXPECT_EQ(h.entry, lost.entryRva);
  EXPECT_FALSE(Offset(h, h.entry));
  EXPECT_GE(h.entry, h.sizeOfImage);
  EXPECT_EQ(Plain32(lost, 27), base.originalEntryRva);
}

TEST(Infect, RefusesMalformedInputWithAReason) {
  const Bytes program = Build(Program());
  const Bytes kernel32 = Build(Library("KERNEL32.dll", Kernel32Names()));
  const uint32_t nt = U32(program, 60);
  struct Case {
    const char* what;
    const Bytes* base;
    void (*spoil)(Bytes&, uint32_t nt);
  };
  const Case cases[] = {
      {"empty", &program, [](Bytes& b, uint32_t) { b.clear(); }},
      {"shorter than a DOS header", &program, [](Bytes& b, uint32_t) { b.resize(63); }},
      {"no MZ", &program, [](Bytes& b, uint32_t) { b[0] = 'X'; }},
      {"e_lfanew past the end", &program, [](Bytes& b, uint32_t) { Put32(b, 60, 0xFFFFFFF0); }},
      {"NT headers cut short", &program, [](Bytes& b, uint32_t n) { b.resize(n + 247); }},
      {"no PE signature", &program, [](Bytes& b, uint32_t n) { b[n + 1] = 'X'; }},
      {"PE32+ magic", &program, [](Bytes& b, uint32_t n) { b[n + 25] = 0x02; }},
      {"section table cut short", &program, [](Bytes& b, uint32_t n) { b.resize(n + 248 + 60); }},
      {"no sections", &program, [](Bytes& b, uint32_t n) { b[n + 6] = 0; }},
      {"last section past the end", &program,
       [](Bytes& b, uint32_t n) {
         Put32(b, n + 248 + 40 + 20, static_cast<uint32_t>(b.size()) + 1);
       }},
      {"export directory unmapped", &kernel32,
       [](Bytes& b, uint32_t n) { Put32(b, n + 120, 0x7FFF0000); }},
      {"ordinals past the address table", &kernel32,
       [](Bytes& b, uint32_t n) {
         const uint32_t edata = U32(b, n + 248 + 80 + 20);  // .edata's raw data, directory first
         Put32(b, edata + 20, 1);                           // NumberOfFunctions
       }},
  };
  for (const Case& c : cases) {
    Bytes input = *c.base;
    c.spoil(input, nt);
    std::string error;
    EXPECT_FALSE(Infect(input, {}, &error)) << c.what;
    EXPECT_FALSE(error.empty()) << c.what;
  }
  std::string error;
  EXPECT_FALSE(Infect(program, {0x5A, specimen::kMaxMarkerPos + 1, NearMiss::None}, &error));
  EXPECT_FALSE(error.empty());
}

}  // namespace
