#include "engine/virus_body.h"

#include <cstring>

#include "engine/pe_image.h"

namespace engine {

MarkerMatch FindVirusMarker(const EntryWindow& window) {
  // Positions past kLastMarkerPosition would need bytes beyond the window;
  // they never match.
  for (uint32_t p = 0; p <= kLastMarkerPosition; ++p) {
    if ((LoadLe32(&window[p]) ^ LoadLe32(&window[p + 1])) != kMarkerXor) continue;
    uint8_t key = window[p + body::kKey];
    uint8_t signature[kSignatureLength];
    for (uint32_t i = 0; i < kSignatureLength; ++i) {
      signature[i] = static_cast<uint8_t>(window[p + body::kSignature + i] ^ key);
    }
    if (std::memcmp(signature, kVirusSignature, kSignatureLength) == 0) return {p, key};
  }
  return {};
}

bool IsInfected(os::ByteSource& file) {
  PeImage view;
  if (!view.Open(file)) return false;
  EntryWindow window{};
  return view.ReadAt(view.EntryPointFileOffset(), window.data(), kEntryWindowSize) &&
         FindVirusMarker(window).Found();
}

}  // namespace engine
