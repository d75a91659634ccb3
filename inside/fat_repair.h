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
#include <string>
#include <vector>

#include "engine/journal.h"
#include "engine/repair_plan.h"
#include "engine/repair_transaction.h"
#include "os/byte_source.h"
#include "os/write_faults.h"

namespace inside {

using PlanFunction = engine::PlanResult (*)(os::ByteSource& file);

// The whole change to the image, in image offsets: sorted, none
// overlapping, each region's `before` what the image holds now.
struct ImagePlan {
  engine::RepairPlan file;  // the repair at the file's own offsets
  std::vector<engine::JournalRegion> regions;
  uint32_t freedClusters = 0;
};

struct ImagePlanResult {
  ImagePlan plan;
  std::string refusal;  // why not, in words for a user; empty when it can be done
  bool ok() const { return refusal.empty(); }
};

// Works out the cleaning of the file at `innerPath` ("/DIR/FILE.EXE") of the
// FAT volume at `volumeOffset` of `image`. Writes nothing. Refused when the
// volume does not hold up (two files sharing a cluster, a chain that is cut
// or loops, FAT copies that disagree on the file's chain), when the file is
// not found, or when the engine refuses the file.
ImagePlanResult PlanImageRepair(os::ByteSource& image, uint64_t volumeOffset,
                                const std::string& innerPath, PlanFunction plan);

struct ImageRepairSettings {
  PlanFunction plan = engine::PlanRepair;
  os::WriteFaults* faults = nullptr;  // a failing disk, for tests
};

// Cleans the file at `innerPath` of the FAT volume at `volumeOffset` of the
// image at `imagePath`: journal beside the image, written and flushed before
// the image's first byte changes; the regions written and flushed; read back
// and the file verified through a fresh reading of the volume; the journal
// removed as the commit. Any failure puts the image back. A read-only image
// is not written (NotDone).
engine::RepairOutcome CleanInsideImage(const std::string& imagePath, uint64_t volumeOffset,
                                       const std::string& innerPath,
                                       const ImageRepairSettings& settings);

}  // namespace inside
