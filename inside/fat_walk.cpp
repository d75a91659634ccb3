#include "inside/fat_walk.h"

#include <algorithm>
#include <memory>
#include <unordered_set>

#include "inside/fat_repair.h"

namespace inside {
namespace {

// Directories nest no deeper than this in any image we walk.
constexpr int kMaxDepth = 128;

// A file's bytes by its chain, and why a read failed.
class FatInnerSource final : public InnerSource {
 public:
  explicit FatInnerSource(FatFileSource& file) : file_(file) {}
  std::optional<uint32_t> ReadAt(uint64_t offset, void* buffer, uint32_t length) override {
    return file_.ReadAt(offset, buffer, length);
  }
  std::optional<uint64_t> Size() override { return file_.Size(); }
  std::string Problem() const override { return "it cannot be read: the image is cut short"; }

 private:
  FatFileSource& file_;
};

struct Walk {
  FatVolume& volume;
  const FatWalkPlace& place;
  const Seams& seams;
  std::unique_ptr<FatVolumeCleaner> cleaner;  // none where files are only scanned
  std::unordered_set<uint32_t> entered;       // directories' first clusters
  uint64_t files = 0;
};

// Handles the entries of one directory, whose path is `path`; false when
// the user answered Quit.
bool WalkEntries(Walk& walk, const std::vector<FatEntry>& entries, const std::string& path,
                 int depth, std::vector<uint32_t>& ancestors) {
  const Seams& seams = walk.seams;
  for (const FatEntry& entry : entries) {
    const std::string inner = path + "/" + entry.name;
    const InnerName named{walk.place.shown, walk.place.prefix + inner};
    std::string error;
    if (entry.IsDirectory()) {
      if (depth >= kMaxDepth) {
        ReportNotScanned(named, "directories nest too deep", seams);
        continue;
      }
      if (std::find(ancestors.begin(), ancestors.end(), entry.firstCluster) != ancestors.end()) {
        ReportNotScanned(named, "a directory loop: it leads back to a directory that holds it",
                         seams);
        continue;
      }
      if (!walk.entered.insert(entry.firstCluster).second) {
        ReportNotScanned(named, "the same directory as one listed before (listed twice)", seams);
        continue;
      }
      std::vector<FatEntry> inside;
      if (!walk.volume.ListDirectory(entry, inside, error)) {
        ReportNotScanned(named, "this directory cannot be read: " + error, seams);
        continue;
      }
      ancestors.push_back(entry.firstCluster);
      const bool going = WalkEntries(walk, inside, inner, depth + 1, ancestors);
      ancestors.pop_back();
      if (!going) return false;
      continue;
    }
    if (!IsSelected(entry.name, seams)) continue;
    if (++walk.files > seams.limits.imageFiles) {
      ReportNotScanned(named, "the image holds more files than the limit", seams);
      return true;
    }
    std::vector<uint32_t> clusters;
    if (!walk.volume.FileChain(entry.firstCluster, entry.size, clusters, error)) {
      ReportNotScanned(named, error, seams);
      continue;
    }
    FatFileSource file(walk.volume, std::move(clusters), entry.size);
    FatInnerSource bytes(file);
    Cleaner clean;
    if (walk.cleaner) {
      clean = [&walk, &entry] { return walk.cleaner->Clean(entry); };
    }
    if (!HandleInner(named, bytes, clean, walk.place.readOnly, seams)) return false;
  }
  return true;
}

}  // namespace

bool WalkFatVolume(FatVolume& volume, const FatWalkPlace& place, const Seams& seams) {
  Walk walk{volume, place, seams, nullptr, {}, 0};
  if (place.home != nullptr) {
    ImageRepairSettings settings;
    settings.plan = seams.plan;
    settings.faults = seams.faults;
    walk.cleaner = std::make_unique<FatVolumeCleaner>(*place.home, volume, settings);
  }
  if (volume.geometry().type == FatType::Fat32) walk.entered.insert(volume.geometry().rootCluster);
  std::vector<FatEntry> root;
  std::string error;
  if (!volume.ListRoot(root, error)) {
    ReportNotScanned({place.shown, place.prefix + "/"}, "this directory cannot be read: " + error,
                     seams);
    return true;
  }
  std::vector<uint32_t> ancestors = {
      volume.geometry().type == FatType::Fat32 ? volume.geometry().rootCluster : 0};
  return WalkEntries(walk, root, "", 1, ancestors);
}

}  // namespace inside
