// Cleaning a file inside a raw FAT image, in place, as one transaction on
// the image file: the engine's repair of the file is planned on the file's
// bytes read through its cluster chain, and mapped onto the image: the
// repaired bytes into the file's own clusters, the cut into its directory
// entry's size and the FAT entries past its new end (in every copy of the
// FAT, with FAT32's free-cluster count kept true). No other byte of the image
// changes. The journal beside the image (IMAGE.kzj) holds every changed
// region in image offsets, so that a killed run is undone by the next one
// exactly as for a plain file.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "engine/journal.h"
#include "engine/repair_plan.h"
#include "engine/repair_transaction.h"
#include "inside/fat_volume.h"
#include "os/byte_source.h"
#include "os/directory.h"
#include "os/file.h"
#include "os/guest_disk.h"
#include "os/write_faults.h"

namespace inside {

using PlanFunction = engine::PlanResult (*)(os::ByteSource& file);

// Where a raw image lies, as the look into it opened it: the folder that
// holds the image, held open; the image's name there (the image itself,
// never a link to it); and what identified the file that was read. A
// cleaning writes to that same file only, and journals beside it. For a
// virtual machine's disk, `guest` is its guest disk, open for writing
// through QEMU on that same file: the cleaning writes there, by guest
// offsets, and its journal (of kind Guest) says so.
struct ImageHome {
  std::shared_ptr<const os::Folder> folder;
  std::string name;
  os::FileIdentity identity;
  os::GuestDisk* guest = nullptr;
};

// The whole change to the image, in image offsets: sorted, none
// overlapping, each region's `before` what the image holds now.
struct ImagePlan {
  engine::RepairPlan file;  // the repair at the file's own offsets
  std::vector<engine::JournalRegion> regions;
  std::vector<std::pair<uint32_t, uint32_t>> fatChanges;  // a cluster and its entry's new value
  uint32_t freedClusters = 0;
};

struct ImagePlanResult {
  ImagePlan plan;
  std::string refusal;  // why not, in words for a user; empty when it can be done
  bool ok() const { return refusal.empty(); }
};

// Works out the cleaning of the file whose directory entry a walk met as
// `met` on the FAT volume at `volumeOffset` of `image`, read as it is now.
// Writes nothing. The file is the one at `met.entryOffset`, never one found
// by its name; refused when that entry no longer holds the bytes that were
// met, when its chain does not hold up (or, given `metChain`, is no longer
// that chain), or when the engine refuses the file. The volume as a whole is
// checked before (FatVolume::CheckForRepair).
ImagePlanResult PlanImageRepair(os::ByteSource& image, uint64_t volumeOffset, const FatEntry& met,
                                PlanFunction plan, const std::vector<uint32_t>* metChain = nullptr);

// Puts a virtual disk's guest back as its Guest `journal` says it was, and
// flushes it. False, with nothing written, where any journaled byte is
// neither the one before nor the one after the cleaning (something else
// wrote there since); false too when a write fails. Safe to repeat.
bool PutBackGuest(os::GuestDisk& disk, const engine::Journal& journal);

struct ImageRepairSettings {
  PlanFunction plan = engine::PlanRepair;
  os::WriteFaults* faults = nullptr;  // a failing disk, for tests
};

// The cleaning of files on one FAT volume of a raw image, during one walk of
// it. Before its first file is cleaned the volume is checked once (its FAT
// copies agree, no two chains share a cluster), on the FAT the walk keeps;
// each cleaning after that costs what its own file does.
class FatVolumeCleaner {
 public:
  // `home` is where the image lies, as it was read. `walked` is the volume
  // as the walk reads it, kept up to date with what the cleanings change; it
  // outlives this.
  FatVolumeCleaner(ImageHome home, FatVolume& walked, ImageRepairSettings settings)
      : home_(std::move(home)), walked_(walked), settings_(settings) {}

  // Cleans the file of the entry `met`: journal beside the image, written
  // and flushed before the image's first byte changes; the regions written
  // and flushed; read back and the file verified through a fresh reading of
  // its entry and chain; the journal removed as the commit. Any failure puts
  // the image back. A read-only image, one that another program holds
  // locked, and a file at the image's name that is not the one read, are
  // not written (NotDone).
  engine::RepairOutcome Clean(const FatEntry& met);

 private:
  enum class Verdict { Unchecked, Sound, Damaged };
  // The transaction on the opened image (the file, or the guest disk).
  template <typename Image, typename PutBack>
  engine::RepairOutcome Transact(Image& image, const FatEntry& met, engine::Journal& journal,
                                 const PutBack& putBack);
  ImageHome home_;
  FatVolume& walked_;
  ImageRepairSettings settings_;
  Verdict verdict_ = Verdict::Unchecked;
  std::string damage_;
};

}  // namespace inside
