// One file inside a disk image or an archive handled as a scan object: the
// same test and the same decisions as for a file on the disk (the action
// mode, the infection prompt), its outcome recorded by the scan under the
// name IMAGE!/PATH/INSIDE. Only a file inside a raw FAT image can be
// cleaned; one inside any other container is reported "cannot disinfect",
// with the reason, when it is to be cleaned.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "engine/repair_transaction.h"
#include "inside/codepage.h"
#include "inside/fat_repair.h"
#include "os/byte_source.h"
#include "os/write_faults.h"
#include "scan/scan.h"

namespace inside {

// Where a contained file lies: the container's path as the user sees it,
// and the path inside it ("/DIR/FILE.EXE"; through an archive inside an
// archive, "/INNER.ZIP!/FILE.EXE").
struct InnerName {
  std::string container;
  std::string inner;
  std::string Shown() const { return inner.empty() ? container : container + "!" + inner; }
};

// Limits against archive bombs and hostile images. What passes one is
// reported, never skipped in silence.
struct Limits {
  uint64_t memberBytes = 256ull << 20;  // read from one archive member
  uint64_t archiveBytes = 4ull << 30;   // read from one archive and all inside it
  uint64_t ratio = 200;                 // bytes read per byte of the archive itself...
  uint64_t ratioFloor = 16ull << 20;    // ...once more than this was read
  uint64_t members = 100000;            // entries of one archive
  int depth = 3;                        // archives inside archives
  uint64_t imageFiles = 10000000;       // files of one disk image
};

// How a scan looks inside containers: set once by the front end.
struct Seams {
  // The scan that records the contained files' outcomes, asks the user and
  // shows messages; it must outlive the looking.
  scan::Scan* scan = nullptr;
  // Told each contained object's names, and why it stands as it does (empty
  // when there is nothing to add), just before its outcome is recorded.
  std::function<void(const InnerName& name, const std::string& reason)> describe;
  Limits limits;
  PlanFunction plan = engine::PlanRepair;
  os::WriteFaults* faults = nullptr;
  // The code page of short names in FAT file systems.
  Codepage codepage = Codepage::Default();
  // Why no contained file may be cleaned in this run (empty: they may):
  // backups are kept only of files on the disk, so with --backup none is.
  std::string cleaningBarred;
};

// The bytes of one contained file, and why a read failed, in words for a user.
class InnerSource : public os::ByteSource {
 public:
  virtual std::string Problem() const { return "it cannot be read"; }
};

// The cleaning of one contained file; none where its container is only read.
using Cleaner = std::function<engine::RepairOutcome()>;

// Tests the file and decides its fate; records exactly one outcome, unless
// the user answered Quit (then false, nothing recorded). `readOnly` names
// why a file without a cleaner cannot be cleaned.
bool HandleInner(const InnerName& name, InnerSource& bytes, const Cleaner& clean,
                 const std::string& readOnly, const Seams& seams);

// A contained object, or a whole container, that could not be scanned:
// recorded "cannot open" (and so among what was not scanned), with the reason
// on standard error.
void ReportNotScanned(const InnerName& name, const std::string& why, const Seams& seams);

// Whether the scan's filter takes a file of this name (every file with
// --all-files), as in a folder.
bool IsSelected(const std::string& name, const Seams& seams);

// Whether a file with this name is looked into when a walk meets it (its
// ending: .img, .ima, .vfd, .hdd, .vhd, .vmdk, .iso, .zip, .cab, .lzh, .lha,
// .7z, .rar, .tar, and the like), ignoring ASCII case.
bool IsContainerName(const std::string& name);

// A source that remembers why a read failed, so that a file whose bytes
// could not all be read is reported, never passed as clean.
class CheckedSource final : public os::ByteSource {
 public:
  explicit CheckedSource(os::ByteSource& inner) : inner_(inner) {}
  std::optional<uint32_t> ReadAt(uint64_t offset, void* buffer, uint32_t length) override {
    std::optional<uint32_t> got = inner_.ReadAt(offset, buffer, length);
    if (!got) failed_ = true;
    return got;
  }
  std::optional<uint64_t> Size() override {
    std::optional<uint64_t> size = inner_.Size();
    if (!size) failed_ = true;
    return size;
  }
  bool failed() const { return failed_; }

 private:
  os::ByteSource& inner_;
  bool failed_ = false;
};

}  // namespace inside
