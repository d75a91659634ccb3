// Redirects the 16 file and process functions that a KERNEL32.dll exports.
#pragma once

#include <array>
#include <optional>
#include <string>

#include "tools/byte_access.h"
#include "tools/pe_reader.h"
#include "tools/specimen_infect.h"

namespace specimen {

struct ExportHooks {
  bool kernel32 = false;  // whether the module name matched
  std::array<std::optional<HookedSlot>, kHookedExportCount> slots;
};

// When `view`'s export directory names the module KERNEL32.dll (ASCII case
// ignored), points the slot of each hooked name into the body at `bodyRva`
// and reports what it overwrote. Images without that module name are left
// alone. Refuses an export table that cannot be followed inside the file, an
// ordinal past the address table, and a slot or name that would be hooked
// twice, because such a specimen could not be cleaned back exactly.
std::optional<ExportHooks> HookKernel32Exports(const PeView& view, uint32_t bodyRva, Bytes& file,
                                               std::string* error);

}  // namespace specimen
