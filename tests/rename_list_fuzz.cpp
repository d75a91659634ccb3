// Fuzzes the edit of a rename list's text: whatever the text and the line,
// the edit keeps the old text whole around the new line, puts the line right
// under the first header, never shrinks the text, and finds the line listed
// when it is asked again.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "repair/rename_list.h"

namespace {

using repair::kRenameHeader;
using repair::ListEdit;

void Check(bool condition) {
  if (!condition) std::abort();
}

bool Contains(std::string_view text, std::string_view part) {
  return text.find(part) != std::string_view::npos;
}

// What the edit must decide, worked out from the text alone.
bool ShouldRefuse(std::string_view text, std::string_view line) {
  if (line.size() < 2 || line.size() > repair::kMaxRenameLineLength) return true;
  if (line.substr(line.size() - 2) != "\r\n") return true;
  std::string_view body = line.substr(0, line.size() - 2);
  if (!Contains(body, "=") || Contains(body, "\r") || Contains(body, "\n")) return true;
  if (Contains(body, std::string_view("\0", 1))) return true;
  return text.size() > repair::kMaxRenameListSize || Contains(text, std::string_view("\0", 1));
}

bool IsListed(std::string_view text, std::string_view line) {
  size_t header = text.find(kRenameHeader);
  if (header == std::string_view::npos) return Contains(text, line);
  size_t end = text.find('[', header + kRenameHeader.size());
  return Contains(text.substr(0, end), line);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider input(data, size);
  bool endLine = input.ConsumeBool();
  std::string line = input.ConsumeRandomLengthString(600);
  if (endLine) line += "\r\n";
  std::string text = input.ConsumeRemainingBytesAsString();

  repair::RenameListEdit edit = repair::AddRenameLine(text, line);
  if (ShouldRefuse(text, line)) {
    Check(edit.result == ListEdit::Refused && edit.text.empty());
    return 0;
  }
  if (IsListed(text, line)) {
    Check(edit.result == ListEdit::AlreadyListed && edit.text.empty());
    return 0;
  }
  Check(edit.result == ListEdit::Added);
  const std::string& after = edit.text;
  // The old text, with the header appended when it had none, and the line
  // right under that header's first occurrence.
  bool hadHeader = Contains(text, kRenameHeader);
  std::string base = hadHeader ? text : text + std::string(kRenameHeader);
  Check(after.size() == base.size() + line.size());
  size_t insertAt = after.find(kRenameHeader);
  Check(insertAt != std::string::npos && insertAt == base.find(kRenameHeader));
  insertAt += kRenameHeader.size();
  Check(std::string_view(after).substr(insertAt, line.size()) == line);
  Check(after.compare(0, insertAt, base, 0, insertAt) == 0);
  Check(after.compare(insertAt + line.size(), std::string::npos, base, insertAt) == 0);
  // Asked again, the line is found where it now stands, unless its own "["
  // ends the search before it (names may hold one).
  bool listed = IsListed(after, line);
  Check(listed || Contains(line, "["));
  Check(repair::AddRenameLine(after, line).result ==
        (listed ? ListEdit::AlreadyListed : ListEdit::Added));
  return 0;
}
