#include "ui/shorten_path.h"

namespace ui {
namespace {

constexpr std::string_view kEllipsis = "...";

bool IsSeparator(char c) { return c == '\\' || c == '/'; }

}  // namespace

std::vector<size_t> Utf8Starts(std::string_view text) {
  std::vector<size_t> starts;
  for (size_t at = 0; at < text.size(); ++at) {
    if ((static_cast<unsigned char>(text[at]) & 0xC0) != 0x80) starts.push_back(at);
  }
  return starts;
}

std::string ShortenPath(std::string_view path, int width, const MeasureText& measure,
                        const CharacterStarts& starts) {
  if (path.empty() || measure(path) <= width) return std::string(path);
  // The name: after the last separator. The drive: "D:\" (or "\\server\",
  // or the first separator of any other path). The head: the drive and the
  // first folder with its separator.
  size_t nameAt = path.size();
  while (nameAt > 0 && !IsSeparator(path[nameAt - 1])) --nameAt;
  const std::string_view name = path.substr(nameAt);
  size_t driveEnd = 0;
  if (path.size() >= 3 && path[1] == ':' && IsSeparator(path[2])) {
    driveEnd = 3;
  } else if (path.size() >= 2 && IsSeparator(path[0]) && IsSeparator(path[1])) {
    size_t server = path.find_first_of("\\/", 2);
    driveEnd = server == std::string_view::npos ? 0 : server + 1;
  } else if (size_t first = path.find_first_of("\\/"); first != std::string_view::npos) {
    driveEnd = first + 1;
  }
  if (driveEnd > nameAt) driveEnd = 0;
  const std::string_view drive = path.substr(0, driveEnd);
  size_t headEnd = path.find_first_of("\\/", driveEnd);
  const std::string_view head = headEnd == std::string_view::npos || headEnd + 1 >= nameAt
                                    ? drive
                                    : path.substr(0, headEnd + 1);

  // The head and the name, with as many of the last folders as fit between.
  auto fits = [&](const std::string& text) { return measure(text) <= width; };
  for (std::string_view front : {head, drive}) {
    if (front.size() >= nameAt) continue;
    std::string shown = std::string(front) + std::string(kEllipsis) + "\\" + std::string(name);
    if (!fits(shown)) continue;
    // Folders before the name, nearest first, while they fit.
    size_t tailAt = nameAt;
    while (tailAt > front.size() + 1) {
      size_t folderAt = tailAt - 1;
      while (folderAt > front.size() && !IsSeparator(path[folderAt - 1])) --folderAt;
      if (folderAt <= front.size()) break;
      std::string longer =
          std::string(front) + std::string(kEllipsis) + "\\" + std::string(path.substr(folderAt));
      if (!fits(longer)) break;
      shown = std::move(longer);
      tailAt = folderAt;
    }
    return shown;
  }
  // The drive and the longest end of the name that fits: the extension
  // stays in sight longest.
  const std::vector<size_t> at = starts(name);
  for (size_t start : at) {
    std::string shown =
        std::string(drive) + std::string(kEllipsis) + std::string(name.substr(start));
    if (fits(shown)) return shown;
  }
  return std::string(kEllipsis);
}

}  // namespace ui
