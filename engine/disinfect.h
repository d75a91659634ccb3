// Turns an infected file back into the clean file in place.
#pragma once

#include <array>
#include <cstdint>

#include "engine/repair_plan.h"
#include "os/file.h"

namespace engine {

// The KERNEL32 exports whose slots the virus redirects; entry j pairs with
// the j-th saved value in the body.
inline constexpr std::array<const char*, 16> kHookedExportNames = {
    "CopyFileA",          "CreateFileA", "CreateProcessA", "DeleteFileA",
    "GetFileAttributesA", "MoveFileA",   "MoveFileExA",    "SetFileAttributesA",
    "CopyFileW",          "CreateFileW", "CreateProcessW", "DeleteFileW",
    "GetFileAttributesW", "MoveFileW",   "MoveFileExW",    "SetFileAttributesW",
};

// Makes the writes of `plan` through `file` (open for reading and writing),
// then cuts the file at the body's start, and stops at the first write that
// fails. The order keeps a file that is left half-way usable and found again:
// export slots and checksum first, then the entry point (until it is written
// the body is still found at the entry point and a later run finishes the
// repair), then the last section's size (a section shrunk under an entry
// point still in the body would load the body as zeros), then the cut.
// True when every write and the cut were done.
bool ApplyRepair(os::File& file, const RepairPlan& plan);

// Plans the repair (PlanRepair) and, only when the whole plan holds, applies
// it: export slots (KERNEL32 only), entry point, last section's SizeOfRawData,
// the header checksum where it holds one, and the cut. `file` stays open.
// True only when the file was cleaned completely; a refused file is left
// exactly as it was. Not safe against a crash half-way: scanning goes through
// the journaled repair (engine/repair_transaction.h). `deleteInstead`, when
// given, is always set to 0: this engine never asks for an object to be
// deleted rather than cleaned.
bool DisinfectFile(os::File& file, int32_t* deleteInstead);

}  // namespace engine
