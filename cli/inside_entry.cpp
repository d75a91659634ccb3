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
    return inside::LookInside(path, shown, true, false, seams_) != inside::LookResult::Stopped;
  };
}

namespace {

InsideLook::Result ResultOf(inside::LookResult result) {
  switch (result) {
    case inside::LookResult::NotContainer:
      return InsideLook::Result::NotContainer;
    case inside::LookResult::Scanned:
      return InsideLook::Result::Scanned;
    case inside::LookResult::Stopped:
      return InsideLook::Result::Stopped;
  }
  return InsideLook::Result::Scanned;
}

}  // namespace

InsideLook::Result InsideLook::LookIntoPath(const std::string& path, const std::string& shown) {
  return ResultOf(inside::LookInside(path, shown, inside::IsContainerName(shown), true, seams_));
}

InsideLook::Result InsideLook::LookIntoBytes(std::span<const uint8_t> bytes,
                                             const std::string& shown) {
  return ResultOf(inside::LookInsideBytes(bytes, shown, inside::IsContainerName(shown), seams_));
}

}  // namespace cli
