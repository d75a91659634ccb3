#include "cli/inside_entry.h"

#include "inside/container.h"

namespace cli {

InsideLook::InsideLook(scan::Scan& scan, bool backups,
                       std::function<void(const inside::InnerName&, const std::string&)> describe)
    : scan_(scan) {
  seams_.scan = &scan;
  seams_.describe = std::move(describe);
  if (backups) {
    seams_.cleaningBarred = "no backup of it could be kept (--backup keeps files on the disk only)";
  }
}

void InsideLook::HookIntoWalk() {
  scan_.seams().fileHook = [this](const std::string& path, const std::string& shown) {
    if (!inside::IsContainerName(shown)) return true;
    return inside::LookInside(path, shown, true, seams_) != inside::LookResult::Stopped;
  };
}

InsideLook::Result InsideLook::LookIntoPath(const std::string& path, const std::string& shown) {
  switch (inside::LookInside(path, shown, inside::IsContainerName(shown), seams_)) {
    case inside::LookResult::NotContainer:
      return Result::NotContainer;
    case inside::LookResult::Scanned:
      return Result::Scanned;
    case inside::LookResult::Stopped:
      return Result::Stopped;
  }
  return Result::Scanned;
}

}  // namespace cli
