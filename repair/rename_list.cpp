#include "repair/rename_list.h"

namespace repair {
namespace {

constexpr std::string_view kLineEnd = "\r\n";

bool HasBlank(std::string_view name) { return name.find(' ') != std::string_view::npos; }

// A bare name ends at the first "=" of its line, for the system's list and
// for the boot-time program alike: a name that holds one must be quoted.
bool HasEquals(std::string_view name) { return name.find('=') != std::string_view::npos; }

bool EitherHasEquals(const std::optional<std::string>& destination, std::string_view source) {
  return HasEquals(source) || (destination && HasEquals(*destination));
}

void AppendName(std::string& line, std::string_view name, bool quoted) {
  if (quoted) line += '"';
  line += name;
  if (quoted) line += '"';
}

// An 8.3 name: at most 8 characters before the first dot, and at most 4 from
// that dot to the end (later dots count among them). Empty passes.
bool FitsShortName(std::string_view component) {
  size_t dot = component.find('.');
  if (dot == std::string_view::npos) return component.size() <= 8;
  return dot <= 8 && component.size() - dot <= 4;
}

bool IsOneRenameLine(std::string_view line) {
  if (line.size() < kLineEnd.size() || line.size() > kMaxRenameLineLength) return false;
  if (line.substr(line.size() - kLineEnd.size()) != kLineEnd) return false;
  std::string_view body = line.substr(0, line.size() - kLineEnd.size());
  return body.find('=') != std::string_view::npos &&
         body.find_first_of(std::string_view("\0\r\n", 3)) == std::string_view::npos;
}

}  // namespace

std::string RenameLine(const std::optional<std::string>& destination, const std::string& source) {
  // With an "=" in either name both are quoted: the boot-time program reads a
  // quoted source only after a quoted destination.
  bool equals = EitherHasEquals(destination, source);
  bool quoteDestination = destination && (HasBlank(*destination) || equals);
  std::string line;
  line.reserve((destination ? destination->size() : 3) + source.size() + 7);
  if (destination) {
    AppendName(line, *destination, quoteDestination);
  } else {
    line += "NUL";
  }
  line += '=';
  AppendName(line, source, HasBlank(source) || equals || quoteDestination);
  line += kLineEnd;
  return line;
}

bool BootProgramCarriesOut(const std::optional<std::string>& destination,
                           const std::string& source) {
  bool quoted = HasBlank(source) || HasEquals(source);
  return destination || !quoted || source.size() <= kMaxQuotedDeletionSource;
}

bool NeedsLongNameList(const std::optional<std::string>& destination, const std::string& source) {
  // The system splits its own list's lines at the first "=" whatever the
  // quotes: only the boot-time program reads a quoted name with one whole.
  if (EitherHasEquals(destination, source)) return true;
  if (destination && HasBlank(*destination)) return true;
  if (source.size() < 3) return false;
  std::string_view rest = std::string_view(source).substr(3);
  for (;;) {
    size_t separator = rest.find('\\');
    if (!FitsShortName(rest.substr(0, separator))) return true;
    if (separator == std::string_view::npos) return false;
    rest.remove_prefix(separator + 1);
  }
}

RenameListEdit AddRenameLine(std::string_view text, std::string_view line) {
  if (!IsOneRenameLine(line) || text.size() > kMaxRenameListSize ||
      text.find('\0') != std::string_view::npos) {
    return {};
  }
  std::string list;
  list.reserve(text.size() + kRenameHeader.size() + line.size());
  list.append(text);
  size_t header = list.find(kRenameHeader);
  // Where an existing line counts: the text before the first "[" after the
  // header. With an appended header the search stays in the old text: a
  // match that ran on into the new header is no line the file holds.
  size_t searchEnd = text.size();
  if (header == std::string::npos) {
    header = list.size();
    list.append(kRenameHeader);
  } else {
    size_t nextSection = list.find('[', header + kRenameHeader.size());
    if (nextSection != std::string::npos) searchEnd = nextSection;
  }
  if (text.substr(0, searchEnd).find(line) != std::string_view::npos) {
    return {ListEdit::AlreadyListed, {}};
  }
  list.insert(header + kRenameHeader.size(), line);
  return {ListEdit::Added, std::move(list)};
}

}  // namespace repair
