// Archives read through libarchive: ZIP, CAB, LHA, 7z, RAR, tar, ISO 9660
// and what else it knows, scanned only. Members are read as streams, as far
// as the test needs; archives inside archives are looked into to a fixed
// depth; limits on the bytes read, on their ratio to the archive's own size
// and on the number of members stop bombs, and what passes one is reported.
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "inside/disk_image.h"
#include "inside/inner_object.h"

namespace inside {

// Looks into the archive opened by `path`, shown as `shown`.
LookResult ScanArchive(const std::string& path, const std::string& shown, const Seams& seams);
// Looks into the archive that `bytes` hold, shown as `shown`.
LookResult ScanArchiveBytes(std::span<const uint8_t> bytes, const std::string& shown,
                            const Seams& seams);

}  // namespace inside
