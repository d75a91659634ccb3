#include "tools/specimen_expect.h"

#include <cstddef>

namespace specimen {
namespace {

void Put32(std::vector<uint8_t>& bytes, uint32_t offset, uint32_t value) {
  if (uint64_t{offset} + 4 > bytes.size()) return;
  for (uint32_t i = 0; i < 4; ++i) bytes[offset + i] = static_cast<uint8_t>(value >> (8 * i));
}

}  // namespace

std::vector<uint8_t> ExpectedCleanBytes(const Infection& infection) {
  uint32_t end = infection.bodyOffset < infection.bytes.size()
                     ? infection.bodyOffset
                     : static_cast<uint32_t>(infection.bytes.size());
  std::vector<uint8_t> bytes(infection.bytes.begin(),
                             infection.bytes.begin() + static_cast<std::ptrdiff_t>(end));
  Put32(bytes, infection.ntHeadersOffset + 40, infection.originalEntryRva);
  Put32(bytes, infection.lastSectionHeaderOffset + 16,
        infection.bodyOffset - infection.lastSectionRawOffset);
  for (const auto& slot : infection.hookedSlots) {
    if (slot) Put32(bytes, slot->fileOffset, slot->savedRva);
  }
  return bytes;
}

}  // namespace specimen
