#include "engine/pe_image.h"

#include <algorithm>

namespace engine {
namespace {

// Offsets the engine positions to stay below 2 GiB, as 32-bit file offsets of
// the systems this format was made for did; kNoFileOffset lies beyond.
constexpr uint64_t kOffsetLimit = 0x80000000u;

bool InRange(uint64_t offset, uint64_t length) { return offset + length <= kOffsetLimit; }

constexpr uint32_t kDosHeaderSize = 64;
// The NT headers and 16 section headers: one read covers nearly every image.
constexpr uint32_t kHeadersReadSize = pe::kNtHeadersSizePe32Plus + 16 * pe::kSectionHeaderSize;

// `size` rounded up to a multiple of `alignment` (not 0), saturated at 32 bits.
uint32_t RoundUp(uint32_t size, uint32_t alignment) {
  uint64_t rounded = (uint64_t{size} + alignment - 1) / alignment * alignment;
  return static_cast<uint32_t>(std::min<uint64_t>(rounded, 0xFFFFFFFFu));
}

}  // namespace

bool PeImage::Open(os::ByteSource& file) {
  file_ = &file;
  // The DOS header in one read: its magic and e_lfanew.
  uint8_t dos[kDosHeaderSize];
  if (!ReadAt(0, dos, sizeof dos) || LoadLe16(dos) != pe::kMzMagic) return false;
  uint32_t ntOffset = LoadLe32(dos + pe::kDosLfanewOffset);

  // The NT headers and, in the same read, the first sections of the table,
  // which always follows a PE32-sized optional header, whatever
  // SizeOfOptionalHeader says; only a PE32+ image's longer header moves it.
  std::array<uint8_t, kHeadersReadSize> head{};
  uint32_t got = ReadUpTo(ntOffset, head.data(), kHeadersReadSize);
  if (got < pe::kNtHeadersSize || LoadLe32(head.data()) != pe::kSignature) return false;
  Close();
  bool pe32Plus = LoadLe16(head.data() + pe::kOptionalHeaderMagic) == pe::kPe32PlusMagic;
  uint32_t headersSize = pe32Plus ? pe::kNtHeadersSizePe32Plus : pe::kNtHeadersSize;
  uint16_t count = LoadLe16(head.data() + pe::kNumberOfSections);
  uint32_t tableSize = uint32_t{count} * pe::kSectionHeaderSize;
  uint32_t needed = headersSize + tableSize;
  if (!InRange(ntOffset, needed)) return false;
  const uint8_t* table = head.data() + headersSize;
  std::vector<uint8_t> longTable;
  if (needed > kHeadersReadSize) {
    // More sections than the first read holds: the whole table once more.
    longTable.resize(tableSize);
    if (!ReadAt(ntOffset + headersSize, longTable.data(), tableSize)) return false;
    table = longTable.data();
  } else if (got < needed) {
    return false;  // the table is cut short
  }
  uint32_t sectionAlignment = LoadLe32(head.data() + pe::kSectionAlignment);
  uint32_t fileAlignment = LoadLe32(head.data() + pe::kFileAlignment);
  if (sectionAlignment == 0 || fileAlignment == 0) return false;

  uint32_t sizeOfHeaders = LoadLe32(head.data() + pe::kSizeOfHeaders);
  sections_.resize(size_t{count} + 1);
  sections_[0] = SectionEntry{RoundUp(sizeOfHeaders, sectionAlignment), 0,
                              RoundUp(sizeOfHeaders, fileAlignment), 0};
  for (uint32_t i = 0; i < count; ++i) {
    const uint8_t* header = table + size_t{i} * pe::kSectionHeaderSize;
    sections_[i + 1] = SectionEntry{
        LoadLe32(header + pe::kVirtualSize), LoadLe32(header + pe::kVirtualAddress),
        LoadLe32(header + pe::kSizeOfRawData), LoadLe32(header + pe::kPointerToRawData)};
  }
  ntOffset_ = ntOffset;
  std::copy_n(head.begin(), pe::kNtHeadersSize, ntHeaders_.begin());
  sectionCount_ = count;
  pe32Plus_ = pe32Plus;
  open_ = true;
  return true;
}

void PeImage::Close() {
  sections_.clear();
  sections_.shrink_to_fit();
  open_ = false;
}

uint32_t PeImage::RvaToFileOffset(uint32_t rva) const {
  // The first entry whose virtual extent holds the address wins; written as
  // a difference so that VirtualAddress + VirtualSize cannot wrap.
  for (const SectionEntry& entry : sections_) {
    if (rva >= entry.virtualAddress && rva - entry.virtualAddress < entry.virtualSize) {
      uint64_t offset = uint64_t{entry.pointerToRawData} + (rva - entry.virtualAddress);
      return offset < kNoFileOffset ? static_cast<uint32_t>(offset) : kNoFileOffset;
    }
  }
  return kNoFileOffset;
}

uint32_t PeImage::EntryPointRva() const {
  return LoadLe32(ntHeaders_.data() + pe::kAddressOfEntryPoint);
}

uint32_t PeImage::EntryPointFileOffset() const { return RvaToFileOffset(EntryPointRva()); }

bool PeImage::ReadAt(uint32_t offset, void* buffer, uint32_t length) const {
  return ReadUpTo(offset, buffer, length) == length;
}

uint32_t PeImage::ReadUpTo(uint32_t offset, void* buffer, uint32_t length) const {
  if (file_ == nullptr || !InRange(offset, length)) return 0;
  return file_->ReadAt(offset, buffer, length).value_or(0);
}

}  // namespace engine
