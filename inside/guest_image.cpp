#include "inside/guest_image.h"

#include <memory>
#include <vector>

#include "engine/journal.h"
#include "inside/fat_repair.h"
#include "os/guest_disk.h"
#include "scan/handle_object.h"
#include "scan/scan_state.h"

namespace inside {
namespace {

// A chain of backing files longer than this is refused.
constexpr int kMaxBacking = 8;

void Tell(const Seams& seams, const std::string& shown, const std::string& what) {
  seams.scan->Tell((shown + ": " + what).c_str(), "krizclean");
}

// A name read from an image, fit for a message.
std::string Printable(const std::string& name) {
  std::string out;
  for (char c : name) {
    const auto byte = static_cast<unsigned char>(c);
    out += byte < 0x20 || byte == 0x7F ? '?' : c;
  }
  return out;
}

// Whether this run may clean at all: a scan that only reads opens the disk
// read-only, and so writes nothing and takes no write lock.
bool MayClean(const Seams& seams) {
  const scan::ActionMode mode = seams.scan->state().actionMode();
  return (mode == scan::ActionMode::Clean || mode == scan::ActionMode::AskUser) &&
         seams.cleaningBarred.empty();
}

// The file `name` beside the image, as QEMU may open it: a regular file
// (never a link), owned as the image is, other than every file before it.
bool CheckBeside(const os::Folder& folder, const std::string& name, const os::FileIdentity& image,
                 const std::vector<os::FileIdentity>& before, const char* what, std::string& why) {
  const os::EntryInfo entry = folder.Look(name);
  if (entry.kind != os::EntryInfo::Kind::File) {
    why = std::string(what) + " is no regular file beside it: " + Printable(name);
    return false;
  }
  if (entry.identity.owner != image.owner) {
    why = std::string(what) + " belongs to another user: " + Printable(name);
    return false;
  }
  for (const os::FileIdentity& seen : before) {
    if (entry.identity.SameFile(seen)) {
      why = std::string(what) + " is a file already in its chain (a loop): " + Printable(name);
      return false;
    }
  }
  return true;
}

// The layers QEMU opens: the image (by its own descriptor, or by its name
// in the held folder where a VMDK descriptor names its extents beside it),
// then each backing file, opened here beside it and given by descriptor.
// False, with `why`, for what is not followed.
bool Layers(os::File& image, const DiskFormat& format, const ImageHome& home,
            std::vector<os::File>& held, std::vector<os::GuestLayer>& layers, std::string& why) {
  const os::Folder& folder = *home.folder;
  std::vector<os::FileIdentity> chain = {home.identity};
  if (!format.extents.empty()) {
    for (const std::string& extent : format.extents) {
      if (!CheckBeside(folder, extent, home.identity, {}, "an extent it names", why)) return false;
    }
    layers.push_back({folder.PathOf(home.name), format.driver});
  } else {
    layers.push_back({image.PathToItself(), format.driver});
  }
  std::string backing = format.backing;
  for (int depth = 0; !backing.empty(); ++depth) {
    if (depth >= kMaxBacking) {
      why = "its chain of backing files is too long";
      return false;
    }
    if (!IsPlainNameBeside(backing)) {
      why = "its backing file is not a file beside it: " + Printable(backing);
      return false;
    }
    if (!CheckBeside(folder, backing, home.identity, chain, "its backing file", why)) return false;
    os::File file = folder.OpenFile(backing, os::Access::Read, os::Share::ReadWrite);
    std::optional<os::FileIdentity> identity = file.Identity();
    if (!file.IsOpen() || !identity || identity->owner != home.identity.owner) {
      why = "its backing file cannot be opened: " + Printable(backing);
      return false;
    }
    chain.push_back(*identity);
    DiskFormat next = FormatOf(file);
    if (next.kind == DiskFormat::Kind::Refused) {
      why = "its backing file " + Printable(backing) + " is " + next.refusal;
      return false;
    }
    if (!next.extents.empty()) {
      why = "its backing file is a VMDK of several files: " + Printable(backing);
      return false;
    }
    layers.push_back(
        {file.PathToItself(), next.kind == DiskFormat::Kind::Raw ? "raw" : next.driver});
    held.push_back(std::move(file));
    backing = next.backing;
  }
  return true;
}

// Carries out a journal that a killed cleaning left beside the image, on
// `disk` (open for writing, or null for a run that does not clean). Empty
// when nothing stands in the way of cleaning; else why the disk is only read.
std::string RecoverGuestJournal(os::GuestDisk* disk, const ImageHome& home,
                                const std::string& shown, const Seams& seams) {
  const os::Folder& folder = *home.folder;
  const std::string journalName = engine::JournalPathFor(home.name);
  if (folder.Look(journalName).kind == os::EntryInfo::Kind::Missing) return std::string();
  const std::string shownJournal = engine::JournalPathFor(shown);
  const std::string stands = "the journal of an interrupted cleaning stands beside it";
  engine::Journal journal;
  engine::JournalReading reading = engine::ReadJournal(folder, journalName, journal);
  if (reading.what != engine::JournalRead::Whole || journal.kind != engine::Journal::Kind::Guest) {
    // Not one of a guest's: as beside any file (a torn one is removed, one
    // that is not ours is left).
    reading.held.Close();
    return scan::RecoverInterruptedRepair(*seams.scan, folder, journalName, shown) ? std::string()
                                                                                   : stands;
  }
  if (journal.file != home.name || !journal.fileIdentity.SameFile(home.identity)) {
    Tell(seams, shownJournal, "untrusted journal: it names another file; left as it is");
    return stands;
  }
  if (disk == nullptr || !disk->writable()) {
    Tell(seams, shownJournal, "an interrupted cleaning: put back by a run that cleans");
    return stands;
  }
  if (journal.oldLength != disk->Size() || !PutBackGuest(*disk, journal)) {
    Tell(seams, shownJournal,
         "an interrupted cleaning could not be undone: the disk was changed by something else");
    return stands;
  }
  if (!engine::RemoveJournal(folder, journalName, reading.held, seams.faults)) {
    Tell(seams, shownJournal, "an interrupted cleaning was undone, but its journal stays");
    return stands;
  }
  Tell(seams, shown, "put back as it was before an interrupted cleaning");
  return std::string();
}

}  // namespace

LookResult ScanVirtualDisk(os::File& image, const DiskFormat& format, const ImageHome& home,
                           const std::string& shown, const Seams& seams) {
  const InnerName whole{shown, ""};
  if (format.kind == DiskFormat::Kind::Refused) {
    ReportNotScanned(whole, "not opened: " + format.refusal, seams);
    return LookResult::Scanned;
  }
  std::vector<os::File> held;
  std::vector<os::GuestLayer> layers;
  std::string why;
  if (!Layers(image, format, home, held, layers, why)) {
    ReportNotScanned(whole, "not opened: " + why, seams);
    return LookResult::Scanned;
  }
  std::string readOnly = format.readOnly;
  if (readOnly.empty() && !MayClean(seams)) readOnly = "this run does not clean";
  os::GuestDiskSpec spec;
  spec.layers = layers;
  spec.writable = readOnly.empty();
  os::GuestDisk::Failure failure = os::GuestDisk::Failure::None;
  std::unique_ptr<os::GuestDisk> disk = os::GuestDisk::Open(spec, failure, why);
  if (!disk && failure == os::GuestDisk::Failure::InUse) {
    // A running virtual machine holds it: read as it stands, never written.
    readOnly = "the disk is in use by another program (a running virtual machine?)";
    spec.writable = false;
    spec.shareWithWriter = true;
    disk = os::GuestDisk::Open(spec, failure, why);
  }
  if (!disk) {
    ReportNotScanned(whole, format.name + " disk that QEMU cannot open: " + why, seams);
    return LookResult::Scanned;
  }
  const std::string stands = RecoverGuestJournal(disk.get(), home, shown, seams);
  if (!stands.empty() && readOnly.empty()) readOnly = stands;
  ImageHome guest = home;
  guest.guest = disk.get();
  const bool cleans = readOnly.empty() && disk->writable();
  return ScanDiskThrough(*disk, cleans ? &guest : nullptr,
                         readOnly.empty() ? "this run does not clean" : readOnly, shown, seams);
}

}  // namespace inside
