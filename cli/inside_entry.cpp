#include "cli/inside_entry.h"

#include "inside/container.h"
#include "scan/walk.h"

namespace cli {
namespace {

// The walk's hook is a plain function, so the run's seams are file-wide.
inside::Seams g_seams;

bool LookInsideWalked(const std::string& path, const std::string& shown) {
  if (!inside::IsContainerName(shown)) return true;
  return inside::LookInside(path, shown, true, g_seams) != inside::LookResult::Stopped;
}

}  // namespace

void StartLookingInside(
    bool walkToo, bool backups,
    std::function<void(const inside::InnerName&, const std::string&)> describe) {
  g_seams = inside::Seams{};
  g_seams.describe = std::move(describe);
  if (backups) {
    g_seams.cleaningBarred =
        "no backup of it could be kept (--backup keeps files on the disk only)";
  }
  scan::SetFileHook(walkToo ? LookInsideWalked : nullptr);
}

InsideResult LookInsidePath(const std::string& path, const std::string& shown) {
  switch (inside::LookInside(path, shown, inside::IsContainerName(shown), g_seams)) {
    case inside::LookResult::NotContainer:
      return InsideResult::NotContainer;
    case inside::LookResult::Scanned:
      return InsideResult::Scanned;
    case inside::LookResult::Stopped:
      return InsideResult::Stopped;
  }
  return InsideResult::Scanned;
}

}  // namespace cli
