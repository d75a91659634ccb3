// Where the virus body lies and how it is recognised: a key-independent marker
// in the 256 bytes at the entry point, followed at a fixed distance by the
// author's signature, both XOR-encrypted with a one-byte key.
#pragma once

#include <array>
#include <cstdint>

#include "os/file.h"

namespace engine {

inline constexpr uint32_t kEntryWindowSize = 256;
using EntryWindow = std::array<uint8_t, kEntryWindowSize>;

// Offsets from the marker's first byte.
namespace body {
inline constexpr uint32_t kKey = 3;
inline constexpr uint32_t kSavedEntryPoint = 27;
inline constexpr uint32_t kSignature = 56;
inline constexpr uint32_t kSavedExportRvas = 3017;
inline constexpr uint32_t kSavedExportCount = 16;
inline constexpr uint32_t kLength = 4050;
}  // namespace body

// dword(b0..b3) XOR dword(b1..b4) for the five marker bytes, whatever the key.
inline constexpr uint32_t kMarkerXor = 0x0007D738;
// The author's signature, compared with its terminating zero byte.
inline constexpr char kVirusSignature[] = "Q-7713 / Vostrel Kanda";
inline constexpr uint32_t kSignatureLength = sizeof kVirusSignature;  // 23
// The last window position at which a whole match (marker to signature's
// terminator) still lies inside the window.
inline constexpr uint32_t kLastMarkerPosition =
    kEntryWindowSize - body::kSignature - kSignatureLength;  // 177

struct MarkerMatch {
  uint32_t position = kEntryWindowSize;  // kEntryWindowSize: no match
  uint8_t key = 0;
  bool Found() const { return position < kEntryWindowSize; }
};

// Finds the first position whose marker is followed by the decrypted
// signature. Each candidate's 23 signature bytes are decrypted into a scratch
// copy: the window never changes, so a rejected candidate cannot garble a body
// that lies behind it, nor the saved values the cleaning then reads there.
MarkerMatch FindVirusMarker(const EntryWindow& window);

// True when the file's entry point carries the virus body. Reads only.
bool IsInfected(os::ByteSource& file);

}  // namespace engine
