// Disk images read through The Sleuth Kit: raw images with or without an MBR
// partition table, VHD and VMDK where the library reads them; FAT12, FAT16,
// FAT32, NTFS, ISO 9660 and the other file systems it knows, each walked like
// a folder, with the same filter and per-file handling. FAT file systems are
// walked by our own reader (fat_walk.h), and their files cleaned in place
// where the image is raw (fat_repair.h); on any other, files are only
// scanned.
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "inside/fat_repair.h"
#include "inside/inner_object.h"

namespace inside {

enum class LookResult {
  NotContainer,  // nothing there this reader knows: the caller may try another
  Scanned,       // looked into to its end (what could not be read is reported)
  Stopped,       // the user answered Quit
};

// Looks into the disk image opened by `path`, shown as `shown`. Its files
// on FAT are cleaned where `home` says where the image lies (the file that
// `path` leads to); without one they are only scanned.
LookResult ScanDiskImage(const std::string& path, const ImageHome* home, const std::string& shown,
                         const Seams& seams);
// Looks into the disk whose bytes `disk` reads (a virtual disk's guest), as
// a raw image: its files on FAT are cleaned where `home` (with its guest)
// says where the image lies; without one they are only scanned, for
// `readOnly`.
LookResult ScanDiskThrough(os::ByteSource& disk, const ImageHome* home, const std::string& readOnly,
                           const std::string& shown, const Seams& seams);
// Looks into the disk image that `bytes` hold, shown as `shown`: a raw image
// only, and only scanned.
LookResult ScanDiskImageBytes(std::span<const uint8_t> bytes, const std::string& shown,
                              const Seams& seams);

}  // namespace inside
