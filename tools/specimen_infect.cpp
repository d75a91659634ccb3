#include "tools/specimen_infect.h"

#include <algorithm>
#include <string_view>

#include "tools/byte_access.h"
#include "tools/export_hooks.h"
#include "tools/pe_format.h"
#include "tools/pe_reader.h"
#include "tools/refusal.h"

namespace specimen {
namespace {

// Offsets inside the body, counted from the marker.
constexpr uint32_t kSavedEntryAt = 27;
constexpr uint32_t kSignatureAt = 56;
constexpr uint32_t kSavedExportsAt = 3017;

// Plain form of the marker; its fourth byte, 0, is stored as the key itself.
constexpr std::array<uint8_t, 5> kMarker = {0xE8, 0xD0, 0x07, 0x00, 0x00};
constexpr std::string_view kSignature = "Q-7713 / Vostrel Kanda";  // stored with its zero byte

// The near misses, as positions in the signature and what goes there.
constexpr size_t kOffByOneAt = 2;  // the first '7'
constexpr size_t kCaseAt = 9;      // the 'V'
constexpr uint8_t kNotATerminator = '!';
constexpr uint32_t kCutShortLength = 200;  // fewer than the 256 bytes a window reads

using Body = std::array<uint8_t, kBodySize>;

void PutU32(Body& body, size_t at, uint32_t value) {
  for (size_t i = 0; i < 4; ++i) body[at + i] = static_cast<uint8_t>((value >> (8 * i)) & 0xFF);
}

// The body before encryption: zero filler with the fields at their places.
Body PlainBody(const InfectSpec& spec, uint32_t originalEntryRva, const ExportHooks& hooks) {
  Body body{};
  const size_t p = spec.markerPos;
  std::copy(kMarker.begin(), kMarker.end(), body.begin() + static_cast<std::ptrdiff_t>(p));
  PutU32(body, p + kSavedEntryAt, originalEntryRva);
  const size_t signature = p + kSignatureAt;
  std::copy(kSignature.begin(), kSignature.end(),
            body.begin() + static_cast<std::ptrdiff_t>(signature));
  for (size_t j = 0; j < kHookedExportCount; ++j) {
    const uint32_t saved = hooks.slots[j] ? hooks.slots[j]->savedRva : 0;
    PutU32(body, p + kSavedExportsAt + 4 * j, saved);
  }

  switch (spec.nearMiss) {
    case NearMiss::SignatureOffByOne:
      body[signature + kOffByOneAt] = '8';
      break;
    case NearMiss::SignatureCase:
      body[signature + kCaseAt] = 'v';
      break;
    case NearMiss::MissingTerminator:
      body[signature + kSignature.size()] = kNotATerminator;
      break;
    case NearMiss::MarkerOnly:
      std::fill_n(body.begin() + static_cast<std::ptrdiff_t>(signature), kSignature.size() + 1, 0);
      break;
    case NearMiss::None:
    case NearMiss::BodyCutShort:
    case NearMiss::EntryInNoSection:
      break;
  }
  return body;
}

// An RVA that no section and not the headers cover: the highest end of any of
// them, which also lies at or past SizeOfImage.
std::optional<uint32_t> UnmappedRva(const PeView& view) {
  uint64_t end = std::max(view.sizeOfImage, view.sizeOfHeaders);
  if (std::optional<uint32_t> headers = AlignUp(view.sizeOfHeaders, view.sectionAlignment)) {
    end = std::max<uint64_t>(end, *headers);
  }
  for (const SectionEntry& section : view.sections) {
    end = std::max(end, uint64_t{section.virtualAddress} + section.virtualSize);
  }
  if (end > UINT32_MAX) return std::nullopt;
  return static_cast<uint32_t>(end);
}

}  // namespace

std::optional<Infection> Infect(const std::vector<uint8_t>& clean, const InfectSpec& spec,
                                std::string* error) {
  if (spec.markerPos > kMaxMarkerPos) return Refuse(error, "marker position does not fit the body");
  if (clean.size() > UINT32_MAX - kBodySize) return Refuse(error, "file too large for a body");
  std::optional<PeView> view = ReadPeView(clean, error);
  if (!view) return std::nullopt;
  if (view->sections.empty()) return Refuse(error, "no section to carry the body");

  const uint32_t e = static_cast<uint32_t>(clean.size());
  const SectionEntry last = view->sections.back();
  if (last.pointerToRawData > e) {
    return Refuse(error, "last section's raw data starts past the end of the file");
  }
  const uint32_t rawSize = e + kBodySize - last.pointerToRawData;  // checked above: cannot wrap
  const uint32_t virtualSize = std::max(last.virtualSize, rawSize);
  const std::optional<uint32_t> imageEnd =
      AlignUp(uint64_t{last.virtualAddress} + virtualSize, view->sectionAlignment);
  if (!imageEnd) return Refuse(error, "grown last section does not fit 32-bit addresses");
  // Below imageEnd, so bodyRva + kBodySize cannot wrap either.
  const uint32_t bodyRva = last.virtualAddress + (e - last.pointerToRawData);

  Infection infection{};
  infection.bytes = clean;
  infection.bodyOffset = e;
  infection.bodyRva = bodyRva;
  infection.markerOffset = e + spec.markerPos;
  infection.key = spec.key;
  infection.originalEntryRva = view->entryRva;
  infection.ntHeadersOffset = view->ntOffset;
  infection.lastSectionHeaderOffset = last.headerOffset;
  infection.lastSectionRawOffset = last.pointerToRawData;
  infection.originalLastSizeOfRawData = last.sizeOfRawData;
  infection.originalLastVirtualSize = last.virtualSize;
  infection.originalSizeOfImage = view->sizeOfImage;

  const std::optional<ExportHooks> hooks =
      HookKernel32Exports(*view, bodyRva, infection.bytes, error);
  if (!hooks) return std::nullopt;
  infection.kernel32Exports = hooks->kernel32;
  infection.hookedSlots = hooks->slots;

  // From here on the view describes the specimen.
  view->sections.back().virtualSize = virtualSize;
  view->sizeOfImage = std::max(view->sizeOfImage, *imageEnd);
  if (RvaToOffset(*view, bodyRva) != e) {
    return Refuse(error, "the headers or an earlier section cover the body's address");
  }
  infection.entryRva = bodyRva;
  if (spec.nearMiss == NearMiss::EntryInNoSection) {
    const std::optional<uint32_t> unmapped = UnmappedRva(*view);
    if (!unmapped) return Refuse(error, "no RVA lies beyond the image");
    infection.entryRva = *unmapped;
  }

  Bytes& bytes = infection.bytes;
  const uint32_t nt = view->ntOffset;
  WriteU32(bytes, nt + pe::nt::kAddressOfEntryPoint, infection.entryRva);
  WriteU32(bytes, nt + pe::nt::kSizeOfImage, view->sizeOfImage);
  WriteU32(bytes, last.headerOffset + pe::section::kVirtualSize, virtualSize);
  WriteU32(bytes, last.headerOffset + pe::section::kSizeOfRawData, rawSize);

  Body body = PlainBody(spec, infection.originalEntryRva, *hooks);
  for (uint8_t& byte : body) byte ^= spec.key;
  bytes.insert(bytes.end(), body.begin(), body.end());
  if (spec.nearMiss == NearMiss::BodyCutShort) bytes.resize(e + kCutShortLength);
  return infection;
}

}  // namespace specimen
