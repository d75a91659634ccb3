#include "repair/restart.h"

#include <cstdint>
#include <string_view>

#include "os/file.h"
#include "os/restart.h"
#include "repair/rename_list.h"
#include "scan/scan_state.h"

namespace repair {
namespace {

constexpr std::string_view kSystemListName = "\\WININIT.INI";
constexpr std::string_view kOwnListName = "\\WININI32.INI";

// A name a rename line or a system call can carry whole: a zero byte would
// cut it short, a CR or LF would start a line of its own in the list.
bool IsCarriableName(std::string_view name) {
  return name.size() <= kMaxNameLength &&
         name.find_first_of(std::string_view("\0\r\n", 3)) == std::string_view::npos;
}

bool IsFullDrivePath(std::string_view path) {
  return path.size() >= 3 && path[1] == ':' && path[2] == '\\';
}

// Writes the new list over the old one from its start; the new one is never
// shorter. When the write fails or falls short the old text is put back, so
// that the system never reads a half-written list.
bool Rewrite(os::File& list, const std::string& oldText, const std::string& newText) {
  std::optional<uint32_t> put =
      list.WriteAt(0, newText.data(), static_cast<uint32_t>(newText.size()));
  if (put && *put == newText.size()) return true;
  list.WriteAt(0, oldText.data(), static_cast<uint32_t>(oldText.size()));
  list.SetEnd(oldText.size());
  return false;
}

bool AddToList(const std::string& listPath, const std::string& line) {
  os::File list =
      os::File::Open(listPath, os::Access::ReadWrite, os::Share::Read, os::Disposition::OpenAlways);
  if (!list.IsOpen()) return false;
  std::optional<uint64_t> size = list.Size();
  if (!size || *size > kMaxRenameListSize) return false;
  std::string text(static_cast<size_t>(*size), '\0');
  if (!text.empty()) {
    std::optional<uint32_t> got = list.ReadAt(0, text.data(), static_cast<uint32_t>(text.size()));
    if (!got || *got != text.size()) return false;
  }
  RenameListEdit edit = AddRenameLine(text, line);
  switch (edit.result) {
    case ListEdit::AlreadyListed:
      return true;
    case ListEdit::Refused:
      return false;
    case ListEdit::Added:
      return Rewrite(list, text, edit.text);
  }
  return false;
}

}  // namespace

bool IsWindowsNt() { return os::IsNtPlatform(); }

bool ReplaceAtRestart(scan::ScanState& state, const std::optional<std::string>& destination,
                      const std::string& source) {
  if (!IsFullDrivePath(source) || !IsCarriableName(source)) return false;
  if (destination && !IsCarriableName(*destination)) return false;
  os::DriveType drive = os::DriveTypeOf(source.substr(0, 3));
  if (drive != os::DriveType::Removable && drive != os::DriveType::Fixed) return false;
  if (destination && (destination->empty() || (*destination)[0] != source[0])) return false;

  if (IsWindowsNt()) return os::MoveAtRestart(source, destination);

  std::string line = RenameLine(destination, source);
  bool ownList = NeedsLongNameList(destination, source);
  if (ownList && !BootProgramCarriesOut(destination, source)) return false;
  // Set before anything can fail: the finishing step installs the program
  // that reads this list whenever a request may have gone to it.
  if (ownList) state.setBootRenameNeeded(1);
  std::string windows = os::WindowsDirectory();
  if (windows.empty()) return false;
  std::string listPath = windows + std::string(ownList ? kOwnListName : kSystemListName);
  if (listPath.size() > kMaxNameLength) return false;
  return AddToList(listPath, line);
}

}  // namespace repair
