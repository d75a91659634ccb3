#include "os/resolve.h"

namespace os {
namespace {

bool HoldsDotDot(const std::string& path) {
  size_t from = 0;
  while (from <= path.size()) {
    size_t end = path.find_first_of("\\/", from);
    if (end == std::string::npos) end = path.size();
    if (path.compare(from, end - from, "..") == 0 && end - from == 2) return true;
    from = end + 1;
  }
  return false;
}

}  // namespace

// Windows 9x keeps neither owners nor links, and the program runs there as
// the machine's one user: paths resolve as the system resolves them.

ResolvedFolder ResolveFolder(const std::string& path, const PathRules& /*rules*/) {
  ResolvedFolder resolved;
  resolved.folder = Folder::Open(path);
  if (!resolved.folder.IsOpen()) resolved.refusal = "it cannot be opened";
  return resolved;
}

ResolvedParent ResolveParent(const std::string& path, const PathRules& rules, bool followLast) {
  ResolvedParent resolved;
  if (!rules.allowDotDot && HoldsDotDot(path)) {
    resolved.refusal = "its path holds \"..\"; not followed";
    return resolved;
  }
  resolved.folder = Folder::OpenParent(path, followLast, resolved.name);
  if (!resolved.folder.IsOpen()) resolved.refusal = "it cannot be opened";
  return resolved;
}

}  // namespace os
