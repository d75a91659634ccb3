#include "inside/container.h"

#include <memory>
#include <new>

#include "engine/journal.h"
#include "inside/archive_reader.h"
#include "os/directory.h"
#include "os/file.h"
#include "scan/handle_object.h"
#include "scan/outcome.h"

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

}  // namespace

LookResult LookInside(const std::string& path, const std::string& shown, bool reportIfNeither,
                      bool namedByUser, const Seams& seams) {
  // The file is found once, in a folder held open: a link at `path` is
  // followed only when the user named it, so that the image and its journal
  // are the real file's; what is read and what a cleaning writes is then
  // the file opened here, whatever its name leads to later.
  ImageHome home;
  home.folder =
      std::make_shared<const os::Folder>(os::Folder::OpenParent(path, namedByUser, home.name));
  if (!home.folder->IsOpen()) {
    return Looked([] { return LookResult::NotContainer; }, shown, reportIfNeither, seams);
  }
  // An image whose cleaning was interrupted is put back before it is read.
  // A journal left as it is has its own status line; the image is still read
  // (and not written while the journal stands).
  // A scan that only reads leaves the journal and the image as they are,
  // and the image unscanned: half-way, its files are neither as they were
  // nor clean (said, and counted, by RecoverInterruptedRepair).
  bool halfway = false;
  scan::RecoverInterruptedRepair(*seams.scan, *home.folder, engine::JournalPathFor(home.name),
                                 shown, &halfway);
  if (halfway) {
    scan::RecordOutcomeFor(*seams.scan, shown, scan::ScanOutcome::CannotOpen);
    return LookResult::Scanned;
  }
  os::File image = home.folder->OpenFile(home.name, os::Access::Read, os::Share::ReadWrite);
  std::optional<os::FileIdentity> identity = image.Identity();
  std::string opened = image.PathToItself();
  if (!image.IsOpen() || !identity || opened.empty()) {
    return Looked([] { return LookResult::NotContainer; }, shown, reportIfNeither, seams);
  }
  home.identity = *identity;
  return Looked(
      [&] {
        LookResult result = ScanDiskImage(opened, &home, shown, seams);
        return result == LookResult::NotContainer ? ScanArchive(opened, shown, seams) : result;
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
