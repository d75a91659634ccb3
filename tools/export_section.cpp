#include "tools/export_section.h"

#include <algorithm>
#include <set>

#include "tools/pe_format.h"
#include "tools/refusal.h"

namespace specimen {
namespace {

constexpr uint32_t kFunctionStride = 16;
constexpr uint8_t kFillerByte = 0xCC;
constexpr size_t kMaxExports = 0xFFFF;  // ordinals are 16-bit

std::optional<std::string> CheckNames(const ExportSpec& spec) {
  if (spec.moduleName.empty() || spec.moduleName.find('\0') != std::string::npos) {
    return "export module name must be non-empty and free of zero bytes";
  }
  if (spec.names.empty()) return "an export directory needs at least one name";
  if (spec.names.size() > kMaxExports) return "too many export names for 16-bit ordinals";
  std::set<std::string> seen;
  for (const std::string& name : spec.names) {
    if (name.empty() || name.find('\0') != std::string::npos) {
      return "export names must be non-empty and free of zero bytes";
    }
    if (!seen.insert(name).second) return "export name \"" + name + "\" given twice";
  }
  return std::nullopt;
}

void AppendString(Bytes& data, const std::string& text) {
  data.insert(data.end(), text.begin(), text.end());
  data.push_back(0);
}

}  // namespace

std::optional<ExportSection> BuildExportSection(const ExportSpec& spec, uint32_t sectionRva,
                                                std::optional<uint32_t> codeRva,
                                                std::string* error) {
  if (std::optional<std::string> fault = CheckNames(spec)) return Refuse(error, *fault);

  std::vector<std::string> sorted = spec.names;
  std::sort(sorted.begin(), sorted.end());  // byte order: char_traits<char> compares unsigned
  const uint32_t count = static_cast<uint32_t>(sorted.size());

  const uint32_t functionsAt = pe::kExportDirectorySize;
  const uint32_t namesAt = functionsAt + 4 * count;
  const uint32_t ordinalsAt = namesAt + 4 * count;
  const uint32_t moduleNameAt = ordinalsAt + 2 * count;

  ExportSection section;
  Bytes& data = section.data;
  data.assign(moduleNameAt, 0);
  AppendString(data, spec.moduleName);
  std::vector<uint32_t> nameOffsets;
  for (const std::string& name : sorted) {
    nameOffsets.push_back(static_cast<uint32_t>(data.size()));
    AppendString(data, name);
  }
  if (data.size() > UINT32_MAX - sectionRva) return Refuse(error, "export section too large");
  section.directorySize = static_cast<uint32_t>(data.size());

  uint64_t functionBase = 0;
  if (codeRva) {
    functionBase = *codeRva;
  } else {
    // Outside the directory's range, so no address reads as a forwarder.
    const uint64_t fillerAt =
        (data.size() + kFunctionStride - 1) / kFunctionStride * kFunctionStride;
    data.resize(static_cast<size_t>(fillerAt), 0);
    data.resize(static_cast<size_t>(fillerAt + ExportCodeSpan(count)), kFillerByte);
    functionBase = uint64_t{sectionRva} + fillerAt;
  }
  if (functionBase + ExportCodeSpan(count) > UINT32_MAX || data.size() > UINT32_MAX - sectionRva) {
    return Refuse(error, "export functions do not fit 32-bit addresses");
  }

  const auto rva = [sectionRva](uint32_t offset) { return sectionRva + offset; };
  WriteU32(data, pe::exports::kName, rva(moduleNameAt));
  WriteU32(data, pe::exports::kBase, 1);
  WriteU32(data, pe::exports::kNumberOfFunctions, count);
  WriteU32(data, pe::exports::kNumberOfNames, count);
  WriteU32(data, pe::exports::kAddressOfFunctions, rva(functionsAt));
  WriteU32(data, pe::exports::kAddressOfNames, rva(namesAt));
  WriteU32(data, pe::exports::kAddressOfNameOrdinals, rva(ordinalsAt));
  for (uint32_t i = 0; i < count; ++i) {
    const uint32_t ordinal = count - 1 - i;  // reversed: not the name order
    WriteU32(data, namesAt + 4 * i, rva(nameOffsets[i]));
    WriteU16(data, ordinalsAt + 2 * i, static_cast<uint16_t>(ordinal));
    WriteU32(data, functionsAt + 4 * ordinal,
             static_cast<uint32_t>(functionBase + uint64_t{kFunctionStride} * ordinal));
  }
  return section;
}

}  // namespace specimen
