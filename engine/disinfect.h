// Turns an infected file back into the clean file in place.
#pragma once

#include <array>
#include <cstdint>

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

// Restores the export slots (KERNEL32 only), the entry point and the last
// section's SizeOfRawData, then cuts the body off. `file` is open for reading
// and writing and stays open. True only when the file was cleaned completely.
// `deleteInstead`, when given, is always set to 0: this engine never asks for
// an object to be deleted rather than cleaned.
bool DisinfectFile(os::File& file, int32_t* deleteInstead);

}  // namespace engine
