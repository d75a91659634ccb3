// The one entry to what lies inside a file: a disk image or an archive,
// whichever it is, looked into with the same filter and per-file handling as
// a folder. Front ends hand it a PATH, or a file that their walk meets.
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "inside/disk_image.h"
#include "inside/inner_object.h"

namespace inside {

// Looks into the file at `path`, shown as `shown`: as a disk image first,
// then as an archive. A symbolic link at `path` is followed only when
// `namedByUser` (a PATH, not a file a walk met). A repair of the image that
// a killed run left half-way (its journal beside it) is undone first.
// NotContainer when it is neither, or cannot be opened: with
// `reportIfNeither` (a file named like an image or archive) that is
// reported too, as a container that could not be read, and Scanned is
// answered.
LookResult LookInside(const std::string& path, const std::string& shown, bool reportIfNeither,
                      bool namedByUser, const Seams& seams);

// The same for a file held in memory: only scanned, and no journal to undo.
LookResult LookInsideBytes(std::span<const uint8_t> bytes, const std::string& shown,
                           bool reportIfNeither, const Seams& seams);

}  // namespace inside
