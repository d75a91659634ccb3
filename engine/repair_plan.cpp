#include "engine/repair_plan.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <optional>

#include "engine/disinfect.h"
#include "engine/pe_image.h"
#include "engine/virus_body.h"

namespace engine {
namespace {

// The NT headers up to and including data directory 4, the certificate table.
constexpr uint32_t kDataDirectories = 120;
constexpr uint32_t kHeadSize = kDataDirectories + 5 * 8;
constexpr uint32_t kExportDirectory = kDataDirectories;           // an RVA and a size
constexpr uint32_t kCertificateTable = kDataDirectories + 4 * 8;  // a file offset and a size
constexpr uint32_t kNameReadLength = 128;
constexpr char kKernelModuleName[] = "KERNEL32.dll";
constexpr uint32_t kModuleNameLength = sizeof kKernelModuleName;  // 12 and the zero

// Export directory fields, by offset from the directory's start.
constexpr uint32_t kExportName = 12;
constexpr uint32_t kExportTables = 20;  // NumberOfFunctions and the four after it

// More exports than any real library has: a count above it is taken for what
// it is, a damaged or hostile table.
constexpr uint32_t kMaxExports = 1u << 20;

struct Refusal {
  std::string why;
};

bool AsciiEqualIgnoringCase(const uint8_t* bytes, const char* text, uint32_t length) {
  for (uint32_t i = 0; i < length; ++i) {
    auto lower = [](unsigned c) { return c >= 'A' && c <= 'Z' ? c + 32 : c; };
    if (lower(bytes[i]) != lower(static_cast<unsigned char>(text[i]))) return false;
  }
  return true;
}

// The export name read at some offset (`count` bytes, maybe unterminated)
// equals `name` as a zero-terminated string.
bool NameEquals(const uint8_t* bytes, uint32_t count, const char* name) {
  size_t length = std::strlen(name);
  return length < count && bytes[length] == 0 && std::memcmp(bytes, name, length) == 0;
}

std::vector<uint8_t> Le32Bytes(uint32_t value) {
  std::vector<uint8_t> bytes(4);
  StoreLe32(bytes.data(), value);
  return bytes;
}

// The file offset of `rva`, when the bytes [offset, offset + length) lie
// before `end` (the body's start: nothing the repair keeps lies past it).
std::optional<uint32_t> OffsetBefore(const PeImage& image, uint32_t rva, uint64_t length,
                                     uint32_t end) {
  uint32_t offset = image.RvaToFileOffset(rva);
  if (offset == kNoFileOffset || uint64_t{offset} + length > end) return std::nullopt;
  return offset;
}

// What the plan learns of the export directory.
struct Exports {
  bool kernel = false;
  uint32_t functionCount = 0;
  uint32_t functions = 0;      // file offset of the export address table
  std::vector<uint8_t> table;  // the export address table as the file holds it
};

// Reads the export directory and, for KERNEL32, plans the slot writes into
// `writes`. nullopt with nothing planned where there is nothing to check:
// no export directory, or one of another module that cannot be read.
std::optional<Exports> PlanExportSlots(const PeImage& image, uint32_t exportRva, uint32_t e,
                                       uint64_t savedAt, uint32_t keyMask,
                                       std::vector<BytePatch>& writes, Refusal& refusal) {
  Exports exports;
  std::optional<uint32_t> directory = OffsetBefore(image, exportRva, kExportTables + 20, e);
  uint8_t field[4];
  uint8_t name[kModuleNameLength];
  std::optional<uint32_t> nameAt;
  if (directory && image.ReadAt(*directory + kExportName, field, 4)) {
    nameAt = OffsetBefore(image, LoadLe32(field), kModuleNameLength, e);
  }
  exports.kernel = nameAt && image.ReadAt(*nameAt, name, kModuleNameLength) &&
                   AsciiEqualIgnoringCase(name, kKernelModuleName, kModuleNameLength - 1) &&
                   name[kModuleNameLength - 1] == 0;

  uint8_t tables[20];
  if (!directory || !image.ReadAt(*directory + kExportTables, tables, sizeof tables)) {
    if (exports.kernel) refusal.why = "its export directory cannot be read";
    return std::nullopt;
  }
  uint32_t functionCount = LoadLe32(tables);
  uint32_t nameCount = LoadLe32(tables + 4);
  std::optional<uint32_t> functions =
      OffsetBefore(image, LoadLe32(tables + 8), 4ull * functionCount, e);
  std::optional<uint32_t> names = OffsetBefore(image, LoadLe32(tables + 12), 4ull * nameCount, e);
  std::optional<uint32_t> ordinals =
      OffsetBefore(image, LoadLe32(tables + 16), 2ull * nameCount, e);
  bool tablesFit = functionCount <= kMaxExports && nameCount <= kMaxExports && functions;
  if (tablesFit) {
    exports.functionCount = functionCount;
    exports.functions = *functions;
    exports.table.resize(4ull * functionCount);
    tablesFit =
        image.ReadAt(*functions, exports.table.data(), static_cast<uint32_t>(exports.table.size()));
  }
  if (!exports.kernel) {
    // Another module: its slots are never written, but they are checked.
    if (!tablesFit) return std::nullopt;
    return exports;
  }
  if (!tablesFit || !names || !ordinals) {
    refusal.why = "its export tables cannot be read whole";
    return std::nullopt;
  }

  // Cutting the body off loses the saved values for good: they must be there.
  uint8_t saved[4 * body::kSavedExportCount];
  if (savedAt >= kNoFileOffset ||
      !image.ReadAt(static_cast<uint32_t>(savedAt), saved, sizeof saved)) {
    refusal.why = "the saved export values cannot be read";
    return std::nullopt;
  }
  std::vector<uint8_t> nameTable(4ull * nameCount);
  std::vector<uint8_t> ordinalTable(2ull * nameCount);
  if (!image.ReadAt(*names, nameTable.data(), static_cast<uint32_t>(nameTable.size())) ||
      !image.ReadAt(*ordinals, ordinalTable.data(), static_cast<uint32_t>(ordinalTable.size()))) {
    refusal.why = "its export tables cannot be read whole";
    return std::nullopt;
  }
  for (uint32_t i = 0; i < nameCount; ++i) {
    uint8_t text[kNameReadLength];
    uint32_t nameOffset = image.RvaToFileOffset(LoadLe32(&nameTable[4ull * i]));
    uint32_t got = nameOffset < e ? image.ReadUpTo(nameOffset, text, sizeof text) : 0;
    for (uint32_t j = 0; j < kHookedExportNames.size(); ++j) {
      if (!NameEquals(text, got, kHookedExportNames[j])) continue;
      uint32_t ordinal = LoadLe16(&ordinalTable[2ull * i]);
      // An ordinal outside the table would put the value somewhere else.
      if (ordinal >= functionCount) {
        refusal.why = std::string("the ordinal of ") + kHookedExportNames[j] +
                      " lies outside its export table";
        return std::nullopt;
      }
      uint32_t slot = *functions + 4 * ordinal;
      uint32_t value = LoadLe32(saved + 4 * j) ^ keyMask;
      for (const BytePatch& planned : writes) {
        if (planned.offset == slot && LoadLe32(planned.bytes.data()) != value) {
          refusal.why = "two hooked names share one export slot";
          return std::nullopt;
        }
      }
      writes.push_back({slot, Le32Bytes(value)});
      StoreLe32(&exports.table[4ull * ordinal], value);
      break;  // the hooked names are distinct
    }
  }
  return exports;
}

}  // namespace

uint64_t MaxBodyTail(uint32_t fileAlignment) {
  uint64_t alignment = std::clamp<uint32_t>(fileAlignment, 512u, 65536u);
  return (body::kLength + alignment - 1) / alignment * alignment;
}

PlanResult PlanRepair(os::ByteSource& file) {
  PlanResult result;
  RepairPlan& plan = result.plan;
  auto refuse = [&](std::string why) {
    result.refusal = std::move(why);
    return result;
  };

  std::optional<uint64_t> size = file.Size();
  if (!size) return refuse("its size cannot be read");
  plan.oldLength = *size;
  PeImage image;
  if (!image.Open(file)) return refuse("it is no PE32 image");
  if (image.IsPe32Plus()) return refuse("it is a 64-bit image");
  if (image.SectionCount() == 0) return refuse("it has no section to restore");

  const uint32_t nt = image.NtHeaderOffset();
  const uint32_t e = image.EntryPointFileOffset();
  const uint32_t entryRva = image.EntryPointRva();
  // The table was read whole when the view opened, so this cannot wrap.
  const uint32_t lastHeader =
      nt + pe::kNtHeadersSize + pe::kSectionHeaderSize * (image.SectionCount() - 1u);
  uint8_t head[kHeadSize];
  uint8_t section[pe::kSectionHeaderSize];
  EntryWindow window{};
  if (!image.ReadAt(nt, head, kHeadSize) || !image.ReadAt(lastHeader, section, sizeof section) ||
      e == kNoFileOffset || !image.ReadAt(e, window.data(), kEntryWindowSize)) {
    return refuse("its headers or its entry point cannot be read");
  }
  MarkerMatch match = FindVirusMarker(window);
  if (!match.Found()) return refuse("it carries no body at its entry point");

  // Everything from E on is cut off: it must all be body.
  const uint64_t tail = *size - e;  // the window was read, so E lies inside the file
  const uint32_t rawStart = LoadLe32(section + pe::kPointerToRawData);
  if (rawStart > e) return refuse("its last section starts after the body");
  if (tail > MaxBodyTail(LoadLe32(head + pe::kFileAlignment))) {
    return refuse("more data follows the body");
  }
  if (LoadLe32(head + pe::kSizeOfHeaders) > e) return refuse("its headers reach into the body");
  const std::vector<SectionEntry>& sections = image.Sections();
  for (size_t i = 1; i < sections.size() - 1; ++i) {
    const SectionEntry& s = sections[i];
    if (s.sizeOfRawData != 0 && uint64_t{s.pointerToRawData} + s.sizeOfRawData > e) {
      return refuse("a section's data lies after the body's start");
    }
  }
  const uint32_t certificates = LoadLe32(head + kCertificateTable);
  const uint32_t certificatesSize = LoadLe32(head + kCertificateTable + 4);
  if (certificatesSize != 0 && uint64_t{certificates} + certificatesSize > e) {
    return refuse("its certificate table lies after the body's start");
  }

  // An RVA inside the body, which the cut takes away.
  auto inBody = [&](uint32_t rva) { return rva >= entryRva && rva - entryRva < tail; };
  const uint32_t keyMask = match.key * 0x01010101u;
  const uint32_t savedEntry = LoadLe32(&window[match.position + body::kSavedEntryPoint]) ^ keyMask;
  if (inBody(savedEntry)) return refuse("its saved entry point lies inside the body");

  Refusal refusal;
  const uint32_t exportRva = LoadLe32(head + kExportDirectory);
  if (exportRva != 0) {
    uint64_t savedAt = uint64_t{e} + match.position + body::kSavedExportRvas;
    std::optional<Exports> exports =
        PlanExportSlots(image, exportRva, e, savedAt, keyMask, plan.writes, refusal);
    if (!refusal.why.empty()) return refuse(refusal.why);
    // Every export, once the slots are written back, must lead out of the
    // body: one that still led into it would load as zeros after the cut.
    if (exports) {
      for (uint32_t i = 0; i < exports->functionCount; ++i) {
        if (inBody(LoadLe32(&exports->table[4ull * i]))) {
          return refuse("an export would still point into the body");
        }
      }
    }
  }

  plan.newLength = e;
  plan.entryPointRva = savedEntry;
  plan.entryPointField = nt + pe::kAddressOfEntryPoint;
  plan.sectionSizeField = lastHeader + pe::kSizeOfRawData;
  plan.writes.push_back({plan.entryPointField, Le32Bytes(savedEntry)});
  plan.writes.push_back({plan.sectionSizeField, Le32Bytes(e - rawStart)});

  // The checksum over the final bytes, where the header holds one.
  const uint32_t checksumField = nt + pe::kCheckSum;
  if (LoadLe32(head + pe::kCheckSum) != 0) {
    std::optional<uint32_t> sum = ChecksumAfter(file, e, plan.writes, checksumField);
    if (!sum) return refuse("its checksum cannot be computed");
    plan.writes.push_back({checksumField, Le32Bytes(*sum)});
    plan.checksumSet = true;
  }

  // No write may overlap another (a slot inside the headers, say), nor reach
  // past E, where the cut would undo it.
  std::sort(plan.writes.begin(), plan.writes.end(),
            [](const BytePatch& a, const BytePatch& b) { return a.offset < b.offset; });
  for (size_t i = 1; i < plan.writes.size(); ++i) {
    if (plan.writes[i - 1].offset + plan.writes[i - 1].bytes.size() > plan.writes[i].offset) {
      return refuse("two of its repairs would overlap");
    }
  }
  if (plan.writes.back().offset + plan.writes.back().bytes.size() > e) {
    return refuse("its headers reach into the body");
  }

  plan.before.reserve(plan.writes.size());
  for (const BytePatch& write : plan.writes) {
    std::vector<uint8_t> now(write.bytes.size());
    if (!image.ReadAt(static_cast<uint32_t>(write.offset), now.data(),
                      static_cast<uint32_t>(now.size()))) {
      return refuse("a place it must write cannot be read");
    }
    plan.before.push_back(std::move(now));
  }
  return result;
}

}  // namespace engine
