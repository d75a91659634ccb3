// Turns a clean PE32 file into an inert specimen laid out the way an infected
// one is: an encrypted 4050-byte body appended at the end of the file and
// carried by the grown last section, the entry point moved onto it and, in a
// KERNEL32.dll, 16 export slots redirected into it. The body holds no code,
// only the fields a cleaner reads; all other body bytes are filler.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace specimen {

inline constexpr uint32_t kBodySize = 4050;
inline constexpr size_t kHookedExportCount = 16;

// The one thing by which a near-miss specimen differs from a true one.
enum class NearMiss {
  None,
  SignatureOffByOne,  // the signature's first '7' reads '8'
  SignatureCase,      // the signature's 'V' reads 'v'
  MissingTerminator,  // the byte after the signature is '!' instead of 0
  MarkerOnly,         // the marker is there, the signature's 23 bytes are all plain 0
  BodyCutShort,       // the file ends 200 bytes after the body's start
  EntryInNoSection,   // the entry point is an RVA in no section, past the headers and the image
};

struct InfectSpec {
  uint8_t key = 0x5A;  // XOR key of the body; 0 stores it plain
  // Where the marker starts, counted from the body's first byte. A 256-byte
  // window at the entry point holds the marker and signature for 0..177;
  // larger values, up to kMaxMarkerPos, still fit the body.
  uint32_t markerPos = 0;
  NearMiss nearMiss = NearMiss::None;
};

inline constexpr uint32_t kMaxMarkerPos = kBodySize - 3017 - 64;  // the saved exports must fit

// One export address table slot that the specimen redirected.
struct HookedSlot {
  uint32_t fileOffset;  // where the 4-byte slot lies in the file
  uint32_t savedRva;    // its value in the clean file, also kept in the body
  uint32_t hookRva;     // its value now, an address inside the body
};

struct Infection {
  std::vector<uint8_t> bytes;  // the specimen file
  uint32_t bodyOffset;         // E: the clean file's length, where the body starts
  uint32_t bodyRva;            // RVA of the body's first byte
  uint32_t markerOffset;       // E + markerPos
  uint8_t key;
  uint32_t originalEntryRva;  // the clean file's AddressOfEntryPoint, saved in the body
  uint32_t entryRva;          // AddressOfEntryPoint now: bodyRva, unless EntryInNoSection
  uint32_t ntHeadersOffset;   // e_lfanew
  uint32_t lastSectionHeaderOffset;
  uint32_t lastSectionRawOffset;       // P: the last section's PointerToRawData
  uint32_t originalLastSizeOfRawData;  // now E + 4050 - P
  uint32_t originalLastVirtualSize;    // now at least E + 4050 - P
  uint32_t originalSizeOfImage;        // now covering the grown last section
  bool kernel32Exports;                // the export module name is KERNEL32.dll in some case
  // Entry j belongs to the j-th hooked name: CopyFileA, CreateFileA,
  // CreateProcessA, DeleteFileA, GetFileAttributesA, MoveFileA, MoveFileExA,
  // SetFileAttributesA, then the same eight ending in W. Empty when the name
  // is not exported, or the module is not KERNEL32.dll.
  std::array<std::optional<HookedSlot>, kHookedExportCount> hookedSlots;
};

// The specimen made from `clean`, or nullopt with a reason in `error` (when
// given). Refuses, rather than build a specimen that is not what it claims:
// anything but a PE32 image with a 224-byte optional header and its section
// table in bounds; a file without sections, or whose last section's raw data
// starts past its end or whose body address the headers or an earlier
// section would claim; an export directory or module name outside the file;
// in a KERNEL32.dll, export tables that cannot be followed inside the file or
// that would have one slot hooked twice; and a marker position past
// kMaxMarkerPos.
std::optional<Infection> Infect(const std::vector<uint8_t>& clean, const InfectSpec& spec,
                                std::string* error);

}  // namespace specimen
