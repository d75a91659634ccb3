// krizclean's door to what lies inside disk images and archives (inside/):
// a PATH that is one is looked into, and with --inside so is each one that
// the walk meets.
#pragma once

#include <functional>
#include <string>

#include "inside/inner_object.h"

namespace cli {

// Sets up the looking inside for a run; `walkToo` hooks it into the walk.
// `describe` is told each contained object's names and reason before its
// status line.
void StartLookingInside(bool walkToo, bool backups,
                        std::function<void(const inside::InnerName&, const std::string&)> describe);

enum class InsideResult { NotContainer, Scanned, Stopped };

// Looks into the regular file `path` given as a PATH, shown as `shown`.
InsideResult LookInsidePath(const std::string& path, const std::string& shown);

}  // namespace cli
