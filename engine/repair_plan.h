// The whole repair of an infected file, worked out before any byte of it is
// written: every write (export slots, entry point, last section's size, the
// checksum over the final bytes) and the cut, each checked against the file.
// Nothing is written unless the whole plan holds.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "engine/checksum.h"
#include "os/file.h"

namespace engine {

struct RepairPlan {
  // In file order, none overlapping, all of them before `newLength`. Each
  // `before` holds the bytes the file has there now.
  std::vector<BytePatch> writes;
  std::vector<std::vector<uint8_t>> before;
  uint64_t oldLength = 0;
  uint32_t newLength = 0;      // E, the entry point's file offset: the body's start
  uint32_t entryPointRva = 0;  // the one the repair restores
  bool checksumSet = false;    // the header holds a checksum, and `writes` the new one
  // Where the entry point and the last section's SizeOfRawData are written.
  uint32_t entryPointField = 0;
  uint32_t sectionSizeField = 0;
};

struct PlanResult {
  RepairPlan plan;
  // Why the file cannot be repaired, in words for a user; empty when it can.
  std::string refusal;
  bool ok() const { return refusal.empty(); }
};

// Works out the repair of the file open in `file` (read access is enough).
// Refuses, writing nothing anywhere, when the file is no PE32 image, carries
// no body, or when repairing it would not give back the clean program: a
// section, the certificate table or other data after the body's start (the
// cut would take it), saved values or export tables that cannot be read, a
// hooked name whose ordinal lies outside the table or whose slot lies in the
// body, an export that would still point into the body afterwards, or a
// restored entry point inside the body.
PlanResult PlanRepair(os::ByteSource& file);

// The length of the longest tail that can be a body: 4050 bytes, rounded up
// to the file alignment the way a writer of sections pads them.
uint64_t MaxBodyTail(uint32_t fileAlignment);

}  // namespace engine
