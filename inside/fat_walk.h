// A FAT file system walked by our own reader, the one that also cleans, so
// that what is scanned and what is written can never be two files: each file
// is handed to its cleaning as the directory entry the walk met (its place
// in the image and its bytes), never by its name. Every entry that names a
// file is listed: scanned, or reported "cannot open" with the reason (a size
// past the volume, a chain that leaves it, ...), whatever its name holds.
#pragma once

#include <string>

#include "inside/fat_repair.h"
#include "inside/fat_volume.h"
#include "inside/inner_object.h"

namespace inside {

struct FatWalkPlace {
  std::string shown;   // the image as the user sees it
  std::string prefix;  // "/partitionN" where the image has a partition table
  // Where the image lies when its files may be cleaned; none when they are
  // only scanned, for the reason `readOnly`.
  const ImageHome* home = nullptr;
  std::string readOnly;
};

// Walks `volume` whole; false when the user answered Quit.
bool WalkFatVolume(FatVolume& volume, const FatWalkPlace& place, const Seams& seams);

}  // namespace inside
