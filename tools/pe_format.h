// Where the fields of a PE32 image live. Offsets in `nt` count from the start
// of the NT headers (the "PE\0\0" signature at e_lfanew); those in `section`
// from the start of one 40-byte section header; those in `exports` from the
// start of the export directory.
#pragma once

#include <cstdint>

namespace specimen::pe {

inline constexpr uint32_t kDosHeaderSize = 64;
inline constexpr uint32_t kLfanewOffset = 60;
inline constexpr uint16_t kMzMagic = 0x5A4D;
inline constexpr uint32_t kPeSignature = 0x00004550;
inline constexpr uint16_t kPe32Magic = 0x10B;
inline constexpr uint16_t kMachineI386 = 0x14C;
inline constexpr uint32_t kFileHeaderEnd = 24;  // signature and COFF file header
inline constexpr uint16_t kOptionalHeaderSize = 224;
inline constexpr uint32_t kNtHeadersSize = kFileHeaderEnd + kOptionalHeaderSize;  // 248
inline constexpr uint32_t kSectionHeaderSize = 40;
inline constexpr uint32_t kSectionNameSize = 8;
inline constexpr uint32_t kDataDirectoryCount = 16;
inline constexpr uint32_t kExportDirectorySize = 40;

// COFF characteristics.
inline constexpr uint16_t kFileExecutable = 0x0002;
inline constexpr uint16_t kFile32BitMachine = 0x0100;
inline constexpr uint16_t kFileDll = 0x2000;

// Section characteristics.
inline constexpr uint32_t kSectionCode = 0x00000020;
inline constexpr uint32_t kSectionInitializedData = 0x00000040;
inline constexpr uint32_t kSectionUninitializedData = 0x00000080;
inline constexpr uint32_t kSectionExecute = 0x20000000;
inline constexpr uint32_t kSectionRead = 0x40000000;
inline constexpr uint32_t kSectionWrite = 0x80000000;

namespace nt {
inline constexpr uint32_t kSignature = 0;
inline constexpr uint32_t kMachine = 4;
inline constexpr uint32_t kNumberOfSections = 6;
inline constexpr uint32_t kSizeOfOptionalHeader = 20;
inline constexpr uint32_t kCharacteristics = 22;
inline constexpr uint32_t kMagic = 24;
inline constexpr uint32_t kLinkerVersion = 26;
inline constexpr uint32_t kSizeOfCode = 28;
inline constexpr uint32_t kSizeOfInitializedData = 32;
inline constexpr uint32_t kSizeOfUninitializedData = 36;
inline constexpr uint32_t kAddressOfEntryPoint = 40;
inline constexpr uint32_t kBaseOfCode = 44;
inline constexpr uint32_t kBaseOfData = 48;
inline constexpr uint32_t kImageBase = 52;
inline constexpr uint32_t kSectionAlignment = 56;
inline constexpr uint32_t kFileAlignment = 60;
inline constexpr uint32_t kMajorOperatingSystemVersion = 64;
inline constexpr uint32_t kMajorSubsystemVersion = 72;
inline constexpr uint32_t kSizeOfImage = 80;
inline constexpr uint32_t kSizeOfHeaders = 84;
inline constexpr uint32_t kCheckSum = 88;
inline constexpr uint32_t kSubsystem = 92;
inline constexpr uint32_t kSizeOfStackReserve = 96;
inline constexpr uint32_t kSizeOfStackCommit = 100;
inline constexpr uint32_t kSizeOfHeapReserve = 104;
inline constexpr uint32_t kSizeOfHeapCommit = 108;
inline constexpr uint32_t kNumberOfRvaAndSizes = 116;
inline constexpr uint32_t kDataDirectories = 120;  // 16 × (RVA, size); the export directory first
}  // namespace nt

namespace section {
inline constexpr uint32_t kName = 0;
inline constexpr uint32_t kVirtualSize = 8;
inline constexpr uint32_t kVirtualAddress = 12;
inline constexpr uint32_t kSizeOfRawData = 16;
inline constexpr uint32_t kPointerToRawData = 20;
inline constexpr uint32_t kCharacteristics = 36;
}  // namespace section

namespace exports {
inline constexpr uint32_t kName = 12;
inline constexpr uint32_t kBase = 16;
inline constexpr uint32_t kNumberOfFunctions = 20;
inline constexpr uint32_t kNumberOfNames = 24;
inline constexpr uint32_t kAddressOfFunctions = 28;
inline constexpr uint32_t kAddressOfNames = 32;
inline constexpr uint32_t kAddressOfNameOrdinals = 36;
}  // namespace exports

}  // namespace specimen::pe
