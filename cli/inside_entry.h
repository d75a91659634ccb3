// krizclean's door to what lies inside disk images and archives (inside/):
// a PATH that is one is looked into, and with --inside so is each one that
// the walk meets.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string>

#include "inside/inner_object.h"
#include "scan/scan.h"

namespace cli {

// The looking inside of one run, for `scan`.
class InsideLook {
 public:
  // `backups`: backups are kept of files on the disk, so none inside is
  // cleaned. `describe` is told each contained object's names and reason
  // before its status line.
  InsideLook(scan::Scan& scan, bool backups,
             std::function<void(const inside::InnerName&, const std::string&)> describe);

  // Short names inside FAT images are shown in `codepage`.
  void UseCodepage(const inside::Codepage& codepage) { seams_.codepage = codepage; }

  // Hooks the looking into the walk of `scan`: each image or archive it
  // meets is looked into.
  void HookIntoWalk();

  enum class Result { NotContainer, Scanned, Stopped };
  // Looks into the regular file `path` given as a PATH, shown as `shown`.
  Result LookIntoPath(const std::string& path, const std::string& shown);
  // Looks into the file that `bytes` hold, shown as `shown` (only scanned).
  Result LookIntoBytes(std::span<const uint8_t> bytes, const std::string& shown);

  const inside::Seams& seams() const { return seams_; }

 private:
  scan::Scan& scan_;
  inside::Seams seams_;
};

}  // namespace cli
