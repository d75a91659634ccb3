#include "inside/container.h"

#include "engine/journal.h"
#include "inside/archive_reader.h"
#include "scan/handle_object.h"

namespace inside {
namespace {

LookResult ReportedIfNeither(LookResult result, const std::string& shown, bool reportIfNeither,
                             const Seams& seams) {
  if (result == LookResult::NotContainer && reportIfNeither) {
    ReportNotScanned({shown, ""}, "no file system or archive in it can be read", seams);
    return LookResult::Scanned;
  }
  return result;
}

}  // namespace

LookResult LookInside(const std::string& path, const std::string& shown, bool reportIfNeither,
                      const Seams& seams) {
  // An image whose cleaning was interrupted is put back before it is read.
  if (!scan::RecoverInterruptedRepair(*seams.scan, engine::JournalPathFor(path), shown)) {
    ReportNotScanned({shown, ""}, "an interrupted cleaning inside it could not be undone", seams);
    return LookResult::Scanned;
  }
  LookResult result = ScanDiskImage(path, shown, seams);
  if (result == LookResult::NotContainer) result = ScanArchive(path, shown, seams);
  return ReportedIfNeither(result, shown, reportIfNeither, seams);
}

LookResult LookInsideBytes(std::span<const uint8_t> bytes, const std::string& shown,
                           bool reportIfNeither, const Seams& seams) {
  LookResult result = ScanDiskImageBytes(bytes, shown, seams);
  if (result == LookResult::NotContainer) result = ScanArchiveBytes(bytes, shown, seams);
  return ReportedIfNeither(result, shown, reportIfNeither, seams);
}

}  // namespace inside
