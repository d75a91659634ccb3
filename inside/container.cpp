#include "inside/container.h"

#include "engine/journal.h"
#include "inside/archive_reader.h"
#include "scan/handle_object.h"

namespace inside {

LookResult LookInside(const std::string& path, const std::string& shown, bool reportIfNeither,
                      const Seams& seams) {
  // An image whose cleaning was interrupted is put back before it is read.
  // A journal left as it is has its own status line; the image is still read
  // (and not written while the journal stands).
  scan::RecoverInterruptedRepair(*seams.scan, engine::JournalPathFor(path), shown);
  LookResult result = ScanDiskImage(path, shown, seams);
  if (result == LookResult::NotContainer) result = ScanArchive(path, shown, seams);
  if (result == LookResult::NotContainer && reportIfNeither) {
    ReportNotScanned({shown, ""}, "no file system or archive in it can be read", seams);
    return LookResult::Scanned;
  }
  return result;
}

}  // namespace inside
