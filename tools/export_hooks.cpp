#include "tools/export_hooks.h"

#include <algorithm>
#include <string_view>

#include "tools/pe_format.h"
#include "tools/refusal.h"

namespace specimen {
namespace {

constexpr std::array<std::string_view, kHookedExportCount> kHookedNames = {
    "CopyFileA",          "CreateFileA", "CreateProcessA", "DeleteFileA",
    "GetFileAttributesA", "MoveFileA",   "MoveFileExA",    "SetFileAttributesA",
    "CopyFileW",          "CreateFileW", "CreateProcessW", "DeleteFileW",
    "GetFileAttributesW", "MoveFileW",   "MoveFileExW",    "SetFileAttributesW",
};
constexpr std::string_view kKernel32 = "KERNEL32.dll";
constexpr size_t kMaxNameLength = 256;
// Hooks point at distinct addresses a little way into the body.
constexpr uint32_t kHookAreaOffset = 0x100;

bool EqualsIgnoringAsciiCase(std::string_view a, std::string_view b) {
  const auto lower = [](char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
  };
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                            [&](char x, char y) { return lower(x) == lower(y); });
}

std::optional<std::string> ReadNameAt(const PeView& view, const Bytes& file, uint32_t rva) {
  const std::optional<uint32_t> at = MapInFile(view, file, rva, 1);
  if (!at) return std::nullopt;
  return ReadCString(file, *at, kMaxNameLength);
}

// The export directory's fields that lead from a name to its slot.
struct ExportTables {
  uint32_t functionCount;
  uint32_t nameCount;
  uint32_t functionsAt;  // file offsets of the three tables
  uint32_t namesAt;
  uint32_t ordinalsAt;
};

std::optional<ExportTables> LocateTables(const PeView& view, const Bytes& file, uint32_t directory,
                                         std::string* error) {
  ExportTables tables{};
  tables.functionCount = *ReadU32(file, directory + pe::exports::kNumberOfFunctions);
  tables.nameCount = *ReadU32(file, directory + pe::exports::kNumberOfNames);
  const uint32_t functions = *ReadU32(file, directory + pe::exports::kAddressOfFunctions);
  const uint32_t names = *ReadU32(file, directory + pe::exports::kAddressOfNames);
  const uint32_t ordinals = *ReadU32(file, directory + pe::exports::kAddressOfNameOrdinals);
  if (tables.nameCount == 0) return tables;

  const std::optional<uint32_t> functionsAt =
      MapInFile(view, file, functions, uint64_t{4} * tables.functionCount);
  const std::optional<uint32_t> namesAt =
      MapInFile(view, file, names, uint64_t{4} * tables.nameCount);
  const std::optional<uint32_t> ordinalsAt =
      MapInFile(view, file, ordinals, uint64_t{2} * tables.nameCount);
  if (!functionsAt || !namesAt || !ordinalsAt) {
    return Refuse(error, "export tables lie outside the file");
  }
  tables.functionsAt = *functionsAt;
  tables.namesAt = *namesAt;
  tables.ordinalsAt = *ordinalsAt;
  return tables;
}

}  // namespace

std::optional<ExportHooks> HookKernel32Exports(const PeView& view, uint32_t bodyRva, Bytes& file,
                                               std::string* error) {
  ExportHooks hooks;
  if (view.exportRva == 0) return hooks;

  const std::optional<uint32_t> directory =
      MapInFile(view, file, view.exportRva, pe::kExportDirectorySize);
  if (!directory) return Refuse(error, "export directory lies outside the file");
  const std::optional<std::string> module =
      ReadNameAt(view, file, *ReadU32(file, *directory + pe::exports::kName));
  if (!module) return Refuse(error, "export module name cannot be read");
  if (!EqualsIgnoringAsciiCase(*module, kKernel32)) return hooks;
  hooks.kernel32 = true;

  const std::optional<ExportTables> tables = LocateTables(view, file, *directory, error);
  if (!tables) return std::nullopt;
  for (uint32_t i = 0; i < tables->nameCount; ++i) {
    // The tables were checked to lie inside the file, so these offsets do too.
    const uint64_t nameAt = uint64_t{tables->namesAt} + uint64_t{4} * i;
    const std::optional<std::string> name = ReadNameAt(view, file, *ReadU32(file, nameAt));
    if (!name) return Refuse(error, "export name cannot be read");
    const auto found = std::find(kHookedNames.begin(), kHookedNames.end(), *name);
    if (found == kHookedNames.end()) continue;
    const size_t j = static_cast<size_t>(found - kHookedNames.begin());

    const uint16_t ordinal = *ReadU16(file, uint64_t{tables->ordinalsAt} + uint64_t{2} * i);
    if (ordinal >= tables->functionCount) {
      return Refuse(error, "ordinal of " + *name + " lies past the export address table");
    }
    const uint32_t slotAt = tables->functionsAt + uint32_t{4} * ordinal;
    if (hooks.slots[j]) return Refuse(error, "export " + *name + " is named twice");
    for (const std::optional<HookedSlot>& other : hooks.slots) {
      if (other && other->fileOffset == slotAt) {
        return Refuse(error, "export " + *name + " shares its slot with another hooked name");
      }
    }
    const uint32_t hookRva = bodyRva + kHookAreaOffset + static_cast<uint32_t>(4 * j);
    hooks.slots[j] = HookedSlot{slotAt, *ReadU32(file, slotAt), hookRva};
    WriteU32(file, slotAt, hookRva);
  }
  return hooks;
}

}  // namespace specimen
