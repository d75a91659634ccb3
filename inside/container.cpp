#include "inside/container.h"

#include <filesystem>
#include <new>
#include <system_error>

#include "engine/journal.h"
#include "inside/archive_reader.h"
#include "scan/handle_object.h"

namespace inside {
namespace {

// Looks with `look` (an image reader, then an archive reader); what it
// holds taking more memory than there is is said, and the scan goes on with
// the next file.
template <typename Look>
LookResult Looked(const Look& look, const std::string& shown, bool reportIfNeither,
                  const Seams& seams) {
  LookResult result = LookResult::NotContainer;
  try {
    result = look();
  } catch (const std::bad_alloc&) {
    ReportNotScanned({shown, ""}, "too large: the rest of it was not scanned (out of memory)",
                     seams);
    return LookResult::Scanned;
  }
  if (result == LookResult::NotContainer && reportIfNeither) {
    ReportNotScanned({shown, ""}, "no file system or archive in it can be read", seams);
    return LookResult::Scanned;
  }
  return result;
}

// The image itself where `path` is a link to it: its journal goes beside the
// image, where a run that reaches it by any name finds it, as for a plain
// file.
std::string RealPathOf(const std::string& path) {
  std::error_code error;
  std::filesystem::path real = std::filesystem::canonical(path, error);
  return error ? path : real.string();
}

}  // namespace

LookResult LookInside(const std::string& given, const std::string& shown, bool reportIfNeither,
                      const Seams& seams) {
  const std::string path = RealPathOf(given);
  // An image whose cleaning was interrupted is put back before it is read.
  if (!scan::RecoverInterruptedRepair(*seams.scan, engine::JournalPathFor(path), shown)) {
    ReportNotScanned({shown, ""}, "an interrupted cleaning inside it could not be undone", seams);
    return LookResult::Scanned;
  }
  return Looked(
      [&] {
        LookResult result = ScanDiskImage(path, shown, seams);
        return result == LookResult::NotContainer ? ScanArchive(path, shown, seams) : result;
      },
      shown, reportIfNeither, seams);
}

LookResult LookInsideBytes(std::span<const uint8_t> bytes, const std::string& shown,
                           bool reportIfNeither, const Seams& seams) {
  return Looked(
      [&] {
        LookResult result = ScanDiskImageBytes(bytes, shown, seams);
        return result == LookResult::NotContainer ? ScanArchiveBytes(bytes, shown, seams) : result;
      },
      shown, reportIfNeither, seams);
}

}  // namespace inside
