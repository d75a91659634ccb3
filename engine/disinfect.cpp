#include "engine/disinfect.h"

#include <cstring>

#include "engine/pe_image.h"
#include "engine/virus_body.h"

namespace engine {
namespace {

constexpr uint32_t kHeadSize = pe::kExportDirectoryRva + 4;  // NT headers up to the export RVA
constexpr uint32_t kLastSectionBase = 208;  // e_lfanew + 208 + 40 * n is the n-th header's end
constexpr uint32_t kNameReadLength = 128;
constexpr char kKernelModuleName[] = "KERNEL32.dll";
constexpr uint32_t kModuleNameLength = sizeof kKernelModuleName;  // 12 and the zero

// Export directory fields, by offset from the directory's start.
constexpr uint32_t kExportName = 12;
constexpr uint32_t kExportTables = 20;  // NumberOfFunctions and the four after it

// `offset` + `delta` as a file offset, or kNoFileOffset when it would pass 4 GiB
// (ReadAt and WriteAt refuse that value).
uint32_t Advance(uint32_t offset, uint64_t delta) {
  if (offset == kNoFileOffset) return kNoFileOffset;
  uint64_t sum = uint64_t{offset} + delta;
  return sum < kNoFileOffset ? static_cast<uint32_t>(sum) : kNoFileOffset;
}

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

bool IsKernelModule(const PeImage& image, uint32_t directory) {
  uint8_t field[4];
  if (!image.ReadAt(Advance(directory, kExportName), field, 4)) return false;
  uint8_t name[kModuleNameLength];
  return image.ReadAt(image.RvaToFileOffset(LoadLe32(field)), name, kModuleNameLength) &&
         AsciiEqualIgnoringCase(name, kKernelModuleName, kModuleNameLength - 1) &&
         name[kModuleNameLength - 1] == 0;
}

enum class SlotRepair {
  NotKernel,    // not KERNEL32: nothing to restore
  Restored,     // every hooked name found was written back
  Unreachable,  // KERNEL32, but the saved values or the tables cannot be read; nothing written
  Failed,       // a slot could not be written back
};

// Writes the saved values back into the export address table slots of the
// hooked names. For KERNEL32 every failure counts: cutting the body off would
// lose the saved values for good and leave exports pointing past the end.
SlotRepair RestoreExportSlots(const PeImage& image, uint32_t exportRva, uint32_t savedOffset,
                              uint32_t keyMask) {
  uint32_t directory = image.RvaToFileOffset(exportRva);
  if (!IsKernelModule(image, directory)) return SlotRepair::NotKernel;

  uint8_t savedBytes[4 * body::kSavedExportCount];
  uint8_t tables[20];
  if (!image.ReadAt(savedOffset, savedBytes, sizeof savedBytes) ||
      !image.ReadAt(Advance(directory, kExportTables), tables, sizeof tables)) {
    return SlotRepair::Unreachable;
  }
  uint32_t functionCount = LoadLe32(tables);
  uint32_t nameCount = LoadLe32(tables + 4);
  uint32_t functions = image.RvaToFileOffset(LoadLe32(tables + 8));
  uint32_t names = image.RvaToFileOffset(LoadLe32(tables + 12));
  uint32_t ordinals = image.RvaToFileOffset(LoadLe32(tables + 16));
  if (functions == kNoFileOffset || names == kNoFileOffset || ordinals == kNoFileOffset) {
    return SlotRepair::Unreachable;
  }

  SlotRepair result = SlotRepair::Restored;
  for (uint32_t i = 0; i < nameCount; ++i) {
    uint8_t nameRva[4];
    // Every later entry lies further on: once one is past the end, all are.
    if (!image.ReadAt(Advance(names, 4ull * i), nameRva, 4)) break;
    uint8_t name[kNameReadLength];
    uint32_t got = image.ReadUpTo(image.RvaToFileOffset(LoadLe32(nameRva)), name, sizeof name);
    for (uint32_t j = 0; j < kHookedExportNames.size(); ++j) {
      if (!NameEquals(name, got, kHookedExportNames[j])) continue;
      uint8_t ordinal[2];
      uint8_t value[4];
      StoreLe32(value, LoadLe32(savedBytes + 4 * j) ^ keyMask);
      // An ordinal outside the table would put the value somewhere else.
      if (!image.ReadAt(Advance(ordinals, 2ull * i), ordinal, 2) ||
          LoadLe16(ordinal) >= functionCount ||
          !image.WriteAt(Advance(functions, 4ull * LoadLe16(ordinal)), value, 4)) {
        result = SlotRepair::Failed;
      }
      break;  // the hooked names are distinct
    }
  }
  return result;
}

bool Disinfect(const PeImage& image) {
  if (image.SectionCount() == 0) return false;  // no last section to restore
  if (image.IsPe32Plus()) return false;         // no layout of the virus's

  uint32_t ntOffset = image.NtHeaderOffset();
  uint32_t entryOffset = image.EntryPointFileOffset();
  // The table was read whole when the view opened, so this cannot wrap.
  uint32_t lastHeader = ntOffset + kLastSectionBase + pe::kSectionHeaderSize * image.SectionCount();

  uint8_t head[kHeadSize];
  uint8_t section[pe::kSectionHeaderSize];
  EntryWindow window{};
  if (!image.ReadAt(ntOffset, head, kHeadSize) ||
      !image.ReadAt(lastHeader, section, sizeof section) ||
      !image.ReadAt(entryOffset, window.data(), kEntryWindowSize)) {
    return false;
  }
  MarkerMatch match = FindVirusMarker(window);
  if (!match.Found()) return false;

  // The body runs from the entry point to the end of the file inside the last
  // section. An entry point before that section's data would have the cut
  // below take clean data with it.
  uint32_t rawStart = LoadLe32(section + pe::kPointerToRawData);
  if (rawStart > entryOffset) return false;

  uint32_t keyMask = match.key * 0x01010101u;
  bool cleaned = true;
  uint32_t exportRva = LoadLe32(head + pe::kExportDirectoryRva);
  if (exportRva != 0) {
    uint32_t saved = Advance(entryOffset, uint64_t{match.position} + body::kSavedExportRvas);
    SlotRepair repair = RestoreExportSlots(image, exportRva, saved, keyMask);
    if (repair == SlotRepair::Unreachable) return false;
    if (repair == SlotRepair::Failed) cleaned = false;
  }

  uint8_t value[4];
  StoreLe32(value, LoadLe32(&window[match.position + body::kSavedEntryPoint]) ^ keyMask);
  if (!image.WriteAt(ntOffset + pe::kAddressOfEntryPoint, value, 4)) cleaned = false;

  StoreLe32(value, entryOffset - rawStart);
  if (!image.WriteAt(lastHeader + pe::kSizeOfRawData, value, 4)) return false;

  return cleaned && image.CutAt(entryOffset);
}

}  // namespace

bool DisinfectFile(os::File& file, int32_t* deleteInstead) {
  if (deleteInstead != nullptr) *deleteInstead = 0;
  if (!OpenPeImage(file)) return false;
  bool cleaned = Disinfect(CurrentPeImage());
  ClosePeImage();
  return cleaned;
}

}  // namespace engine
