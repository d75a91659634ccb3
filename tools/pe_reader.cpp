#include "tools/pe_reader.h"

#include "tools/pe_format.h"
#include "tools/refusal.h"

namespace specimen {

std::optional<PeView> ReadPeView(const Bytes& file, std::string* error) {
  // File offsets are 32-bit; a bigger file has parts no header can address.
  if (file.size() > UINT32_MAX) return Refuse(error, "larger than 4 GiB");
  if (file.size() < pe::kDosHeaderSize) return Refuse(error, "shorter than a DOS header");
  if (ReadU16(file, 0) != pe::kMzMagic) return Refuse(error, "no MZ signature");

  PeView view{};
  view.ntOffset = *ReadU32(file, pe::kLfanewOffset);
  const uint64_t nt = view.ntOffset;
  if (!InBounds(file, nt, pe::kNtHeadersSize)) {
    return Refuse(error, "e_lfanew points past the end of the file");
  }
  if (ReadU32(file, nt + pe::nt::kSignature) != pe::kPeSignature) {
    return Refuse(error, "no PE signature at e_lfanew");
  }
  if (ReadU16(file, nt + pe::nt::kMagic) != pe::kPe32Magic) {
    return Refuse(error, "optional header is not PE32");
  }
  if (ReadU16(file, nt + pe::nt::kSizeOfOptionalHeader) != pe::kOptionalHeaderSize) {
    return Refuse(error, "optional header is not 224 bytes long");
  }
  view.entryRva = *ReadU32(file, nt + pe::nt::kAddressOfEntryPoint);
  view.sectionAlignment = *ReadU32(file, nt + pe::nt::kSectionAlignment);
  view.sizeOfImage = *ReadU32(file, nt + pe::nt::kSizeOfImage);
  view.sizeOfHeaders = *ReadU32(file, nt + pe::nt::kSizeOfHeaders);
  view.exportRva = *ReadU32(file, nt + pe::nt::kDataDirectories);
  if (view.sectionAlignment == 0) return Refuse(error, "SectionAlignment is 0");

  const uint16_t count = *ReadU16(file, nt + pe::nt::kNumberOfSections);
  const uint64_t table = nt + pe::kNtHeadersSize;
  if (!InBounds(file, table, uint64_t{pe::kSectionHeaderSize} * count)) {
    return Refuse(error, "section table runs past the end of the file");
  }
  for (uint32_t i = 0; i < count; ++i) {
    // In bounds, so the offset fits 32 bits.
    const uint64_t at = table + uint64_t{pe::kSectionHeaderSize} * i;
    view.sections.push_back({static_cast<uint32_t>(at),
                             *ReadU32(file, at + pe::section::kVirtualSize),
                             *ReadU32(file, at + pe::section::kVirtualAddress),
                             *ReadU32(file, at + pe::section::kSizeOfRawData),
                             *ReadU32(file, at + pe::section::kPointerToRawData)});
  }
  return view;
}

std::optional<uint32_t> RvaToOffset(const PeView& view, uint32_t rva) {
  if (rva < view.sizeOfHeaders) return rva;
  for (const SectionEntry& section : view.sections) {
    if (rva >= section.virtualAddress &&
        uint64_t{rva} < uint64_t{section.virtualAddress} + section.virtualSize) {
      const uint64_t offset = uint64_t{section.pointerToRawData} + (rva - section.virtualAddress);
      if (offset > UINT32_MAX) return std::nullopt;
      return static_cast<uint32_t>(offset);
    }
  }
  return std::nullopt;
}

std::optional<uint32_t> MapInFile(const PeView& view, const Bytes& file, uint32_t rva,
                                  uint64_t length) {
  const std::optional<uint32_t> offset = RvaToOffset(view, rva);
  if (!offset || !InBounds(file, *offset, length)) return std::nullopt;
  return offset;
}

}  // namespace specimen
