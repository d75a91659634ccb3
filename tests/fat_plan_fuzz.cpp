// Fuzzes the planning of a cleaning inside a FAT image: whatever the image's
// bytes, for every file its directories list (and on every partition of an
// MBR) on a volume that passes the check before repair, the plan either is
// refused or changes only the FATs, FSInfo, the file's own clusters and its
// directory entry, each region's bytes as the image holds them now; and the
// image with the plan carried out is a volume that holds up, with the file's
// entry where it was and of its new size.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "engine/repair_plan.h"
#include "inside/fat_repair.h"
#include "inside/fat_volume.h"

namespace {

void Check(bool condition) {
  if (!condition) std::abort();
}

class MemorySource final : public os::ByteSource {
 public:
  explicit MemorySource(std::vector<uint8_t> bytes) : bytes_(std::move(bytes)) {}
  std::optional<uint32_t> ReadAt(uint64_t offset, void* buffer, uint32_t length) override {
    if (offset >= bytes_.size()) return 0;
    uint32_t n = static_cast<uint32_t>(std::min<uint64_t>(length, bytes_.size() - offset));
    std::memcpy(buffer, bytes_.data() + offset, n);
    return n;
  }
  std::optional<uint64_t> Size() override { return bytes_.size(); }
  std::vector<uint8_t>& bytes() { return bytes_; }

 private:
  std::vector<uint8_t> bytes_;
};

// The files of the volume, depth first, a bounded number of them.
void ListFiles(inside::FatVolume& volume, const inside::FatEntry* directory, int depth,
               std::vector<inside::FatEntry>& files) {
  std::vector<inside::FatEntry> entries;
  std::string error;
  bool listed = directory == nullptr ? volume.ListRoot(entries, error)
                                     : volume.ListDirectory(*directory, entries, error);
  if (!listed) return;
  for (const inside::FatEntry& entry : entries) {
    if (files.size() >= 16) return;
    if (entry.IsDirectory()) {
      if (depth < 4) ListFiles(volume, &entry, depth + 1, files);
    } else {
      files.push_back(entry);
    }
  }
}

bool Inside(uint64_t at, uint64_t from, uint64_t length) { return at - from < length; }

void CheckPlan(MemorySource& image, inside::FatVolume& volume, const inside::FatEntry& entry) {
  const uint64_t volumeOffset = volume.geometry().volumeOffset;
  inside::ImagePlanResult planned =
      inside::PlanImageRepair(image, volumeOffset, entry, engine::PlanRepair);
  if (!planned.ok()) return;

  // Where the plan may write, read independently of the plan.
  std::string error;
  std::vector<uint32_t> clusters;
  Check(volume.FileChain(entry.firstCluster, entry.size, clusters, error));
  const inside::FatGeometry& g = volume.geometry();
  const uint64_t fats = uint64_t{g.fatCount} * g.fatSectors * g.bytesPerSector;
  const uint64_t fsInfo = g.volumeOffset + uint64_t{g.fsInfoSector} * g.bytesPerSector;

  const uint64_t size = image.bytes().size();
  uint64_t end = 0;
  for (const engine::JournalRegion& region : planned.plan.regions) {
    Check(!region.after.empty() && region.before.size() == region.after.size());
    Check(region.offset >= end && region.offset <= size &&
          region.after.size() <= size - region.offset);
    end = region.offset + region.after.size();
    Check(std::equal(region.before.begin(), region.before.end(),
                     image.bytes().begin() + static_cast<std::ptrdiff_t>(region.offset)));
    for (uint64_t at = region.offset; at < end; ++at) {
      bool allowed = Inside(at, g.FatOffset(0), fats) || Inside(at, entry.entryOffset + 28, 4) ||
                     (g.fsInfoSector != 0 && Inside(at, fsInfo, g.bytesPerSector));
      for (size_t i = 0; i < clusters.size() && !allowed; ++i) {
        allowed = Inside(at, g.ClusterOffset(clusters[i]), g.ClusterBytes());
      }
      Check(allowed);
    }
  }

  // Carried out, the volume holds up and the file has its new size.
  MemorySource after(image.bytes());
  for (const engine::JournalRegion& region : planned.plan.regions) {
    std::copy(region.after.begin(), region.after.end(),
              after.bytes().begin() + static_cast<std::ptrdiff_t>(region.offset));
  }
  std::optional<inside::FatVolume> again = inside::FatVolume::Open(after, volumeOffset, error);
  Check(again.has_value() && again->CheckForRepair(error));
  std::optional<inside::FatEntry> now = again->EntryAt(entry.entryOffset);
  Check(now.has_value() && now->size == planned.plan.file.newLength &&
        now->firstCluster == entry.firstCluster);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  MemorySource image(std::vector<uint8_t>(data, data + size));
  std::vector<uint64_t> offsets = {0};
  for (const inside::MbrPartition& partition : inside::ReadMbr(image)) {
    offsets.push_back(partition.offset);
  }
  for (uint64_t offset : offsets) {
    std::string error;
    std::optional<inside::FatVolume> volume = inside::FatVolume::Open(image, offset, error);
    if (!volume || !volume->CheckForRepair(error)) continue;
    std::vector<inside::FatEntry> files;
    ListFiles(*volume, nullptr, 0, files);
    for (const inside::FatEntry& entry : files) CheckPlan(image, *volume, entry);
  }
  return 0;
}
