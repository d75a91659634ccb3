#include "inside/fat_repair.h"

#include "engine/file_checks.h"

#include <algorithm>
#include <array>
#include <map>
#include <new>

#include "inside/fat_volume.h"
#include "os/file.h"
#include "os/file_ops.h"
#include "os/system.h"

namespace inside {
namespace {

// FSInfo: its three signatures and where the free-cluster count lies.
constexpr uint32_t kFsInfoLead = 0x41615252;
constexpr uint32_t kFsInfoStruct = 0x61417272;
constexpr uint32_t kFsInfoTrail = 0xAA550000;
constexpr uint32_t kFsInfoFreeCount = 488;
constexpr uint32_t kUnknownFreeCount = 0xFFFFFFFF;

uint32_t U32(const uint8_t* p) {
  return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}
void PutU32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

// The image as the change would leave it: bytes changed so far over the
// image's own. Reads see earlier changes, so that two FAT12 entries sharing
// a byte are both kept.
class Overlay {
 public:
  explicit Overlay(os::ByteSource& image) : image_(image) {}

  bool Read(uint64_t offset, uint8_t* out, uint32_t length) {
    if (!ReadFully(image_, offset, out, length)) return false;
    for (uint32_t i = 0; i < length; ++i) {
      auto it = changed_.find(offset + i);
      if (it != changed_.end()) out[i] = it->second.second;
    }
    return true;
  }

  bool Write(uint64_t offset, const uint8_t* bytes, uint32_t length) {
    std::vector<uint8_t> original(length);
    if (!ReadFully(image_, offset, original.data(), length)) return false;
    for (uint32_t i = 0; i < length; ++i) {
      auto [it, fresh] = changed_.try_emplace(offset + i, original[i], bytes[i]);
      if (!fresh) it->second.second = bytes[i];
    }
    return true;
  }

  // The changes as regions of adjacent changed bytes.
  std::vector<engine::JournalRegion> Regions() const {
    std::vector<engine::JournalRegion> regions;
    uint64_t next = 0;
    for (const auto& [offset, bytes] : changed_) {
      if (bytes.first == bytes.second) continue;
      if (regions.empty() || offset != next) regions.push_back({offset, {}, {}});
      regions.back().before.push_back(bytes.first);
      regions.back().after.push_back(bytes.second);
      next = offset + 1;
    }
    return regions;
  }

 private:
  os::ByteSource& image_;
  std::map<uint64_t, std::pair<uint8_t, uint8_t>> changed_;  // offset: before, after
};

bool SetFatEntry(FatVolume& volume, Overlay& overlay, uint32_t cluster, uint32_t value,
                 ImagePlan& plan) {
  const FatGeometry& g = volume.geometry();
  plan.fatChanges.emplace_back(cluster, value);
  for (uint32_t copy = 0; copy < g.fatCount; ++copy) {
    uint64_t at = volume.FatEntryOffset(cluster, copy);
    std::array<uint8_t, 4> bytes{};
    uint32_t width = g.type == FatType::Fat32 ? 4 : 2;
    if (!overlay.Read(at, bytes.data(), width)) return false;
    uint32_t old = width == 4 ? U32(bytes.data()) : uint32_t{bytes[0]} | uint32_t{bytes[1]} << 8;
    uint32_t now = 0;
    switch (g.type) {
      case FatType::Fat12:
        now = (cluster & 1) != 0 ? (old & 0x000F) | (value & 0xFFF) << 4
                                 : (old & 0xF000) | (value & 0xFFF);
        break;
      case FatType::Fat16:
        now = value & 0xFFFF;
        break;
      case FatType::Fat32:
        now = (old & 0xF0000000) | (value & 0x0FFFFFFF);  // the top four bits are reserved
        break;
    }
    PutU32(bytes.data(), now);
    if (!overlay.Write(at, bytes.data(), width)) return false;
  }
  return true;
}

// FAT32 counts its free clusters in FSInfo, where fsck.fat checks them: a
// count that was known is kept true by the clusters the cut frees.
bool AddFreeClusters(FatVolume& volume, Overlay& overlay, uint32_t freed) {
  const FatGeometry& g = volume.geometry();
  if (g.type != FatType::Fat32 || g.fsInfoSector == 0 || freed == 0) return true;
  const uint64_t at = g.volumeOffset + uint64_t{g.fsInfoSector} * g.bytesPerSector;
  std::array<uint8_t, 512> sector{};
  if (!overlay.Read(at, sector.data(), 512)) return false;
  if (U32(&sector[0]) != kFsInfoLead || U32(&sector[484]) != kFsInfoStruct ||
      U32(&sector[508]) != kFsInfoTrail) {
    return true;  // no FSInfo there: nothing counts
  }
  uint32_t count = U32(&sector[kFsInfoFreeCount]);
  if (count == kUnknownFreeCount || count > g.clusterCount || freed > g.clusterCount - count) {
    return true;  // unknown, or already wrong: left for the system to count anew
  }
  std::array<uint8_t, 4> bytes{};
  PutU32(bytes.data(), count + freed);
  return overlay.Write(at + kFsInfoFreeCount, bytes.data(), 4);
}

ImagePlanResult Refuse(std::string why) {
  ImagePlanResult result;
  result.refusal = std::move(why);
  return result;
}

}  // namespace

ImagePlanResult PlanImageRepair(os::ByteSource& image, uint64_t volumeOffset, const FatEntry& met,
                                PlanFunction plan, const std::vector<uint32_t>* metChain) {
  std::string error;
  std::optional<FatVolume> volume = FatVolume::Open(image, volumeOffset, error);
  if (!volume) return Refuse("its file system cannot be read: " + error);
  // The file is the entry where the walk met it, as long as it holds just
  // what was met there: another entry may show the same name.
  std::optional<FatEntry> entry = volume->EntryAt(met.entryOffset);
  if (!entry) return Refuse("the image cannot be read");
  if (entry->raw != met.raw) return Refuse("its directory entry changed since it was scanned");
  if (entry->IsDirectory() || entry->IsVolumeLabel() || (entry->attributes & 0x3F) == 0x0F) {
    return Refuse("its directory entry names no file");
  }
  std::vector<uint32_t> clusters;
  if (!volume->FileChain(entry->firstCluster, entry->size, clusters, error)) return Refuse(error);
  if (metChain != nullptr && clusters != *metChain) {
    return Refuse("its clusters changed since it was scanned");
  }

  FatFileSource file(*volume, clusters, entry->size);
  engine::PlanResult planned = plan(file);
  if (!planned.ok()) return Refuse(planned.refusal);
  ImagePlanResult result;
  result.plan.file = std::move(planned.plan);
  const engine::RepairPlan& filePlan = result.plan.file;
  if (filePlan.oldLength != entry->size || filePlan.newLength == 0 ||
      filePlan.newLength > filePlan.oldLength) {
    return Refuse("its repair does not fit its directory entry");
  }

  Overlay overlay(image);
  const uint64_t clusterBytes = volume->geometry().ClusterBytes();
  for (const engine::BytePatch& write : filePlan.writes) {
    if (write.offset > filePlan.newLength ||
        write.bytes.size() > filePlan.newLength - write.offset) {
      return Refuse("its repair writes past its end");
    }
    // Cluster by cluster: the file's bytes need not lie side by side.
    for (uint64_t done = 0; done < write.bytes.size();) {
      uint64_t at = write.offset + done;
      uint32_t piece = static_cast<uint32_t>(
          std::min<uint64_t>(write.bytes.size() - done, clusterBytes - at % clusterBytes));
      if (!overlay.Write(file.ImageOffset(at), write.bytes.data() + done, piece)) {
        return Refuse("the image cannot be read");
      }
      done += piece;
    }
  }

  if (filePlan.newLength < filePlan.oldLength) {
    std::array<uint8_t, 4> size{};
    PutU32(size.data(), filePlan.newLength);
    if (!overlay.Write(entry->entryOffset + 28, size.data(), 4)) {
      return Refuse("the image cannot be read");
    }
    const size_t keep = static_cast<size_t>((filePlan.newLength + clusterBytes - 1) / clusterBytes);
    if (keep < clusters.size()) {
      if (!SetFatEntry(*volume, overlay, clusters[keep - 1], volume->geometry().EndOfChain(),
                       result.plan)) {
        return Refuse("the image cannot be read");
      }
      for (size_t i = keep; i < clusters.size(); ++i) {
        if (!SetFatEntry(*volume, overlay, clusters[i], 0, result.plan)) {
          return Refuse("the image cannot be read");
        }
      }
      result.plan.freedClusters = static_cast<uint32_t>(clusters.size() - keep);
      if (!AddFreeClusters(*volume, overlay, result.plan.freedClusters)) {
        return Refuse("the image cannot be read");
      }
    }
  }
  result.plan.regions = overlay.Regions();
  return result;
}

namespace {

bool ReadBack(os::ByteSource& file, const std::vector<engine::JournalRegion>& regions) {
  for (const engine::JournalRegion& region : regions) {
    std::vector<uint8_t> now(region.after.size());
    if (!ReadFully(file, region.offset, now.data(), now.size()) || now != region.after) {
      return false;
    }
  }
  return true;
}

// The file read again through a fresh reading of its entry and chain: of
// its new size, with a chain that holds up, and repaired.
bool VerifyInside(os::ByteSource& image, uint64_t volumeOffset, const FatEntry& met,
                  const engine::RepairPlan& plan) {
  std::string error;
  std::optional<FatVolume> volume = FatVolume::Open(image, volumeOffset, error);
  if (!volume) return false;
  std::optional<FatEntry> entry = volume->EntryAt(met.entryOffset);
  std::vector<uint32_t> clusters;
  if (!entry || entry->size != plan.newLength || entry->firstCluster != met.firstCluster ||
      !volume->FileChain(entry->firstCluster, entry->size, clusters, error)) {
    return false;
  }
  FatFileSource file(*volume, std::move(clusters), entry->size);
  return engine::VerifyRepair(file, plan);
}

}  // namespace

bool PutBackGuest(os::GuestDisk& disk, const engine::Journal& journal) {
  // Only where each byte is the one before or after the cleaning: anything
  // else was written by something else since.
  for (const engine::JournalRegion& region : journal.regions) {
    std::vector<uint8_t> now(region.before.size());
    if (!ReadFully(disk, region.offset, now.data(), now.size())) return false;
    for (size_t i = 0; i < now.size(); ++i) {
      if (now[i] != region.before[i] && now[i] != region.after[i]) return false;
    }
  }
  for (const engine::JournalRegion& region : journal.regions) {
    const uint32_t length = static_cast<uint32_t>(region.before.size());
    if (disk.WriteAt(region.offset, region.before.data(), length) != length) return false;
  }
  return disk.Flush();
}

engine::RepairOutcome FatVolumeCleaner::Clean(const FatEntry& met) {
  using engine::RepairOutcome;
  using engine::RepairStatus;
  os::WriteFaults* faults = settings_.faults;
  if (home_.guest != nullptr) {
    // A virtual disk: written through QEMU, which holds the image's lock,
    // on the very file that was read (it opened that file's descriptor).
    os::GuestDisk& disk = *home_.guest;
    engine::Journal journal;
    journal.kind = engine::Journal::Kind::Guest;
    journal.file = home_.name;
    journal.fileIdentity = home_.identity;
    journal.oldLength = *disk.Size();
    journal.newLength = journal.oldLength;
    return Transact(disk, met, journal,
                    [&disk](const engine::Journal& j) { return PutBackGuest(disk, j); });
  }
  // Worked on through one handle to the file that was read, beside it, and
  // only while no other program holds a lock on it.
  const os::Folder& folder = *home_.folder;
  const std::string& imageName = home_.name;
  os::File file = folder.OpenFile(imageName, os::Access::ReadWrite, os::Share::Read, faults);
  if (!file.IsOpen()) {
    const os::EntryInfo entry = folder.Look(imageName);
    if (entry.kind == os::EntryInfo::Kind::File &&
        os::IsReadOnly(os::FileAttributes{entry.identity.mode})) {
      return {RepairStatus::NotDone, "the image is read-only"};
    }
    return {RepairStatus::NotDone, "the image cannot be opened for writing"};
  }
  const std::optional<os::FileIdentity> identity = file.Identity();
  if (!identity || !identity->SameFile(home_.identity)) {
    return {RepairStatus::NotDone, "the image was replaced after it was read; left alone"};
  }
  // A second name in a folder that another user controls may be a hard link
  // that user planted to an image of ours, as for plain files.
  if (identity->links != 1 && engine::ControlledByOthers(folder)) {
    return {RepairStatus::NotDone,
            "the image has more than one name in a folder that another user controls; left alone"};
  }
  std::optional<os::FileAttributes> attributes = file.Attributes();
  if (attributes && os::IsReadOnly(*attributes)) {
    return {RepairStatus::NotDone, "the image is read-only"};
  }
  if (file.LockExclusive() == os::File::Lock::HeldElsewhere) {
    return {RepairStatus::NotDone, "another program has locked the image; left alone"};
  }
  std::optional<uint64_t> size = file.Size();
  if (!size) return {RepairStatus::NotDone, "the image cannot be read"};

  engine::Journal journal;
  journal.kind = engine::Journal::Kind::InPlace;
  journal.file = imageName;
  journal.attributes = attributes;
  journal.fileIdentity = *identity;
  journal.oldLength = *size;
  journal.newLength = *size;
  return Transact(file, met, journal, [&file, faults](const engine::Journal& j) {
    return engine::PutBackFromJournal(file, j, faults);
  });
}

template <typename Image, typename PutBack>
engine::RepairOutcome FatVolumeCleaner::Transact(Image& file, const FatEntry& met,
                                                 engine::Journal& journal, const PutBack& putBack) {
  using engine::RepairOutcome;
  using engine::RepairStatus;
  os::WriteFaults* faults = settings_.faults;
  const uint64_t volumeOffset = walked_.geometry().volumeOffset;
  const os::Folder& folder = *home_.folder;

  // The whole volume once, on the FAT the walk keeps.
  if (verdict_ == Verdict::Unchecked) {
    std::string error;
    verdict_ = walked_.CheckForRepair(error) ? Verdict::Sound : Verdict::Damaged;
    damage_ = "its file system is damaged: " + error;
  }
  if (verdict_ == Verdict::Damaged) return {RepairStatus::Refused, damage_};
  std::vector<uint32_t> metChain;
  std::string error;
  if (!walked_.FileChain(met.firstCluster, met.size, metChain, error)) {
    return {RepairStatus::Refused, error};
  }
  ImagePlanResult planned = PlanImageRepair(file, volumeOffset, met, settings_.plan, &metChain);
  if (!planned.ok()) return {RepairStatus::Refused, planned.refusal};

  journal.regions = planned.plan.regions;
  const std::string journalName = engine::JournalPathFor(home_.name);
  os::File held;
  if (!engine::WriteJournal(folder, journalName, journal, faults, held)) {
    return {RepairStatus::NotDone, "no journal can be written beside the image"};
  }

  // From here on every way out either commits or undoes by the journal; an
  // undone image is checked whole again before the next cleaning.
  auto undo = [&](const char* why) {
    verdict_ = Verdict::Unchecked;
    if (putBack(journal)) engine::RemoveJournal(folder, journalName, held, faults);
    return RepairOutcome{RepairStatus::NotDone, why};
  };
  for (const engine::JournalRegion& region : journal.regions) {
    uint32_t length = static_cast<uint32_t>(region.after.size());
    if (file.WriteAt(region.offset, region.after.data(), length) != length) {
      return undo("the image could not be written (is the disk full?)");
    }
  }
  if (!file.Flush()) return undo("the image could not be written (is the disk full?)");
  try {
    if (!ReadBack(file, journal.regions) ||
        !VerifyInside(file, volumeOffset, met, planned.plan.file)) {
      return undo("the repaired file did not verify");
    }
  } catch (const std::bad_alloc&) {
    return undo("too large to verify here: out of memory");
  }
  // The commit: while the journal is there, the next run undoes the repair.
  if (!folder.RemoveHeld(journalName, held, faults)) return undo("its journal cannot be removed");
  folder.Flush(faults);
  for (const auto& [cluster, value] : planned.plan.fatChanges) walked_.NoteFatEntry(cluster, value);
  return {RepairStatus::Cleaned, ""};
}

}  // namespace inside
