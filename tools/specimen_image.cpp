#include "tools/specimen_image.h"

#include <algorithm>
#include <cstddef>

#include "tools/byte_access.h"
#include "tools/export_section.h"
#include "tools/pe_format.h"
#include "tools/refusal.h"

namespace specimen {
namespace {

constexpr uint32_t kNtHeadersOffset = 0x80;  // e_lfanew: after the DOS header and a blank stub
constexpr uint32_t kMaxSections = 96;        // the most a 32-bit Windows loader accepts
constexpr uint16_t kSubsystemWindowsGui = 2;
constexpr uint32_t kEdataCharacteristics = pe::kSectionInitializedData | pe::kSectionRead;

// One section with its place in the file and in memory decided.
struct PlacedSection {
  const SectionSpec* spec;
  uint32_t virtualAddress;
  uint32_t pointerToRawData;
  uint32_t sizeOfRawData;
};

bool IsPowerOfTwo(uint32_t value) { return value != 0 && (value & (value - 1)) == 0; }

std::optional<std::string> CheckSpec(const ImageSpec& spec) {
  if (!IsPowerOfTwo(spec.fileAlignment) || !IsPowerOfTwo(spec.sectionAlignment)) {
    return "alignments must be powers of two";
  }
  if (spec.fileAlignment > spec.sectionAlignment) {
    return "FileAlignment must not exceed SectionAlignment";
  }
  if (spec.sections.size() + (spec.exports ? 1 : 0) > kMaxSections) return "too many sections";
  for (const SectionSpec& section : spec.sections) {
    if (section.name.size() > pe::kSectionNameSize) {
      return "section name \"" + section.name + "\" is longer than 8 bytes";
    }
  }
  return std::nullopt;
}

// Lays the sections out one after the other from the end of the headers.
class Layout {
 public:
  Layout(uint32_t sizeOfHeaders, const ImageSpec& spec)
      : spec_(spec),
        nextRaw_(sizeOfHeaders),
        nextVirtual_(AlignUp(sizeOfHeaders, spec.sectionAlignment).value_or(0)) {}

  // The RVA that the next placed section will get.
  uint32_t NextVirtualAddress() const { return nextVirtual_; }

  bool Place(const SectionSpec& section) {
    const std::optional<uint32_t> rawSize = AlignUp(section.data.size(), spec_.fileAlignment);
    const uint64_t span = std::max<uint64_t>({section.virtualSize, section.data.size(), 1});
    const std::optional<uint32_t> virtualSpan = AlignUp(span, spec_.sectionAlignment);
    if (!rawSize || !virtualSpan || uint64_t{nextRaw_} + *rawSize > UINT32_MAX ||
        uint64_t{nextVirtual_} + *virtualSpan > UINT32_MAX) {
      return false;
    }
    // A section without raw data keeps PointerToRawData 0, as linkers write it.
    placed_.push_back({&section, nextVirtual_, *rawSize == 0 ? 0 : nextRaw_, *rawSize});
    nextRaw_ += *rawSize;
    nextVirtual_ += *virtualSpan;
    return true;
  }

  const std::vector<PlacedSection>& Sections() const { return placed_; }
  uint32_t FileSize() const { return nextRaw_; }
  uint32_t SizeOfImage() const { return nextVirtual_; }

 private:
  const ImageSpec& spec_;
  uint32_t nextRaw_;
  uint32_t nextVirtual_;
  std::vector<PlacedSection> placed_;
};

// Where the exported functions go: the first code section with room for all.
std::optional<uint32_t> FindExportCode(const Layout& layout, size_t nameCount) {
  for (const PlacedSection& placed : layout.Sections()) {
    if ((placed.spec->characteristics & pe::kSectionCode) != 0 &&
        placed.spec->virtualSize >= ExportCodeSpan(nameCount)) {
      return placed.virtualAddress;
    }
  }
  return std::nullopt;
}

void WriteSectionHeader(Bytes& image, uint32_t at, const PlacedSection& placed) {
  const SectionSpec& section = *placed.spec;
  std::copy(section.name.begin(), section.name.end(),
            image.begin() + static_cast<std::ptrdiff_t>(at));
  WriteU32(image, at + pe::section::kVirtualSize, section.virtualSize);
  WriteU32(image, at + pe::section::kVirtualAddress, placed.virtualAddress);
  WriteU32(image, at + pe::section::kSizeOfRawData, placed.sizeOfRawData);
  WriteU32(image, at + pe::section::kPointerToRawData, placed.pointerToRawData);
  WriteU32(image, at + pe::section::kCharacteristics, section.characteristics);
}

void WriteNtHeaders(Bytes& image, const ImageSpec& spec, const Layout& layout,
                    uint32_t sizeOfHeaders, uint32_t entryRva, uint32_t exportRva,
                    uint32_t exportSize) {
  const uint32_t nt = kNtHeadersOffset;
  WriteU16(image, 0, pe::kMzMagic);
  WriteU32(image, pe::kLfanewOffset, nt);

  uint16_t characteristics = pe::kFileExecutable | pe::kFile32BitMachine;
  if (spec.dll) characteristics |= pe::kFileDll;
  WriteU32(image, nt + pe::nt::kSignature, pe::kPeSignature);
  WriteU16(image, nt + pe::nt::kMachine, pe::kMachineI386);
  WriteU16(image, nt + pe::nt::kNumberOfSections, static_cast<uint16_t>(layout.Sections().size()));
  WriteU16(image, nt + pe::nt::kSizeOfOptionalHeader, pe::kOptionalHeaderSize);
  WriteU16(image, nt + pe::nt::kCharacteristics, characteristics);

  uint32_t codeSize = 0, dataSize = 0, bssSize = 0;
  std::optional<uint32_t> baseOfCode, baseOfData;
  for (const PlacedSection& placed : layout.Sections()) {
    const uint32_t flags = placed.spec->characteristics;
    // Sums of aligned sizes below a 32-bit file size cannot wrap.
    if ((flags & pe::kSectionCode) != 0) {
      codeSize += placed.sizeOfRawData;
      if (!baseOfCode) baseOfCode = placed.virtualAddress;
    } else if (!baseOfData) {
      baseOfData = placed.virtualAddress;
    }
    if ((flags & pe::kSectionInitializedData) != 0) dataSize += placed.sizeOfRawData;
    if ((flags & pe::kSectionUninitializedData) != 0) bssSize += placed.spec->virtualSize;
  }

  WriteU16(image, nt + pe::nt::kMagic, pe::kPe32Magic);
  WriteU16(image, nt + pe::nt::kLinkerVersion, 6);
  WriteU32(image, nt + pe::nt::kSizeOfCode, codeSize);
  WriteU32(image, nt + pe::nt::kSizeOfInitializedData, dataSize);
  WriteU32(image, nt + pe::nt::kSizeOfUninitializedData, bssSize);
  WriteU32(image, nt + pe::nt::kAddressOfEntryPoint, entryRva);
  WriteU32(image, nt + pe::nt::kBaseOfCode, baseOfCode.value_or(0));
  WriteU32(image, nt + pe::nt::kBaseOfData, baseOfData.value_or(0));
  WriteU32(image, nt + pe::nt::kImageBase, spec.imageBase);
  WriteU32(image, nt + pe::nt::kSectionAlignment, spec.sectionAlignment);
  WriteU32(image, nt + pe::nt::kFileAlignment, spec.fileAlignment);
  WriteU16(image, nt + pe::nt::kMajorOperatingSystemVersion, 4);
  WriteU16(image, nt + pe::nt::kMajorSubsystemVersion, 4);
  WriteU32(image, nt + pe::nt::kSizeOfImage, layout.SizeOfImage());
  WriteU32(image, nt + pe::nt::kSizeOfHeaders, sizeOfHeaders);
  WriteU32(image, nt + pe::nt::kCheckSum, spec.checkSum);
  WriteU16(image, nt + pe::nt::kSubsystem, kSubsystemWindowsGui);
  WriteU32(image, nt + pe::nt::kSizeOfStackReserve, 0x100000);
  WriteU32(image, nt + pe::nt::kSizeOfStackCommit, 0x1000);
  WriteU32(image, nt + pe::nt::kSizeOfHeapReserve, 0x100000);
  WriteU32(image, nt + pe::nt::kSizeOfHeapCommit, 0x1000);
  WriteU32(image, nt + pe::nt::kNumberOfRvaAndSizes, pe::kDataDirectoryCount);
  WriteU32(image, nt + pe::nt::kDataDirectories, exportRva);
  WriteU32(image, nt + pe::nt::kDataDirectories + 4, exportSize);
}

}  // namespace

std::optional<std::vector<uint8_t>> BuildImage(const ImageSpec& spec, std::string* error) {
  if (std::optional<std::string> fault = CheckSpec(spec)) return Refuse(error, *fault);

  const size_t sectionCount = spec.sections.size() + (spec.exports ? 1 : 0);
  const uint32_t tableEnd = kNtHeadersOffset + pe::kNtHeadersSize +
                            pe::kSectionHeaderSize * static_cast<uint32_t>(sectionCount);
  const std::optional<uint32_t> sizeOfHeaders = AlignUp(tableEnd, spec.fileAlignment);
  if (!sizeOfHeaders) return Refuse(error, "headers do not fit 32 bits");

  SectionSpec edata;  // declared before `layout`, which keeps a pointer to it
  Layout layout(*sizeOfHeaders, spec);
  for (const SectionSpec& section : spec.sections) {
    if (!layout.Place(section)) return Refuse(error, "sections do not fit 32-bit addresses");
  }

  uint32_t exportSize = 0;
  if (spec.exports) {
    const uint32_t edataRva = layout.NextVirtualAddress();
    const std::optional<ExportSection> built = BuildExportSection(
        *spec.exports, edataRva, FindExportCode(layout, spec.exports->names.size()), error);
    if (!built) return std::nullopt;
    edata = {".edata", static_cast<uint32_t>(built->data.size()), kEdataCharacteristics,
             built->data};
    exportSize = built->directorySize;
    if (!layout.Place(edata)) return Refuse(error, "export section does not fit 32-bit addresses");
  }
  const uint32_t exportRva = spec.exports ? layout.Sections().back().virtualAddress : 0;

  uint32_t entryRva = spec.entryRva;
  if (entryRva == 0 && !layout.Sections().empty()) {
    entryRva = layout.Sections().front().virtualAddress;
  }

  Bytes image(layout.FileSize(), 0);
  WriteNtHeaders(image, spec, layout, *sizeOfHeaders, entryRva, exportRva, exportSize);
  uint32_t headerAt = kNtHeadersOffset + pe::kNtHeadersSize;
  for (const PlacedSection& placed : layout.Sections()) {
    WriteSectionHeader(image, headerAt, placed);
    headerAt += pe::kSectionHeaderSize;
    const std::vector<uint8_t>& data = placed.spec->data;
    std::copy(data.begin(), data.end(),
              image.begin() + static_cast<std::ptrdiff_t>(placed.pointerToRawData));
  }
  return image;
}

}  // namespace specimen
