#include "inside/disk_image.h"

#include <tsk/libtsk.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <unordered_set>

#include "inside/disk_format.h"
#include "inside/fat_volume.h"
#include "inside/fat_walk.h"
#include "inside/guest_image.h"
#include "inside/memory_bytes.h"
#include "os/file.h"

namespace inside {
namespace {

// Directories nest no deeper than this in any image we walk.
constexpr int kMaxDepth = 128;

// Why files on FAT are not cleaned where no home is given: the image is
// held in memory (inside an archive).
constexpr const char* kOnlyRead = "only FAT file systems in image files are cleaned";

std::string TskError(const char* fallback) {
  const char* text = tsk_error_get();
  std::string why = text != nullptr && *text != '\0' ? text : fallback;
  tsk_error_reset();
  // The library's messages span lines; one line is enough here.
  for (char& c : why) {
    if (c == '\n' || c == '\r') c = ' ';
  }
  return why;
}

struct ImageCloser {
  void operator()(TSK_IMG_INFO* img) const { tsk_img_close(img); }
};
struct VolumesCloser {
  void operator()(TSK_VS_INFO* vs) const { tsk_vs_close(vs); }
};
struct FsCloser {
  void operator()(TSK_FS_INFO* fs) const { tsk_fs_close(fs); }
};
struct DirCloser {
  void operator()(TSK_FS_DIR* dir) const { tsk_fs_dir_close(dir); }
};
struct FileCloser {
  void operator()(TSK_FS_FILE* file) const { tsk_fs_file_close(file); }
};

class TskFileSource final : public InnerSource {
 public:
  explicit TskFileSource(TSK_FS_FILE* file) : file_(file) {}
  std::optional<uint32_t> ReadAt(uint64_t offset, void* buffer, uint32_t length) override {
    std::optional<uint64_t> size = Size();
    if (!size) return std::nullopt;
    if (offset >= *size || length == 0) return 0;
    uint64_t wanted = std::min<uint64_t>(length, *size - offset);
    ssize_t got =
        tsk_fs_file_read(file_, static_cast<TSK_OFF_T>(offset), static_cast<char*>(buffer),
                         static_cast<size_t>(wanted), TSK_FS_FILE_READ_FLAG_NONE);
    if (got < 0 || static_cast<uint64_t>(got) != wanted) {
      problem_ = "it cannot be read: " + TskError("its data lies outside the image");
      return std::nullopt;
    }
    return static_cast<uint32_t>(got);
  }
  std::optional<uint64_t> Size() override {
    if (file_->meta == nullptr || file_->meta->size < 0) return std::nullopt;
    return static_cast<uint64_t>(file_->meta->size);
  }
  std::string Problem() const override { return problem_; }

 private:
  TSK_FS_FILE* file_;
  std::string problem_ = "it cannot be read";
};

// The image as The Sleuth Kit reads it (a VHD or VMDK as the disk it holds),
// for our own FAT reader.
class TskImageSource final : public os::ByteSource {
 public:
  explicit TskImageSource(TSK_IMG_INFO* img) : img_(img) {}
  std::optional<uint32_t> ReadAt(uint64_t offset, void* buffer, uint32_t length) override {
    const uint64_t size = static_cast<uint64_t>(img_->size);
    if (offset >= size || length == 0) return 0;
    const size_t wanted = static_cast<size_t>(std::min<uint64_t>(length, size - offset));
    ssize_t got =
        tsk_img_read(img_, static_cast<TSK_OFF_T>(offset), static_cast<char*>(buffer), wanted);
    if (got < 0 || static_cast<size_t>(got) != wanted) {
      tsk_error_reset();
      return std::nullopt;
    }
    return static_cast<uint32_t>(got);
  }
  std::optional<uint64_t> Size() override { return static_cast<uint64_t>(img_->size); }

 private:
  TSK_IMG_INFO* img_;
};

// One file system of the image being walked.
struct Walk {
  TSK_FS_INFO* fs;
  std::string shown;
  std::string prefix;    // "/partitionN" where the image has a partition table
  std::string readOnly;  // why its files are only scanned
  const Seams* seams;
  std::unordered_set<TSK_INUM_T> entered;
  uint64_t files = 0;
};

// Walks the directory `inum` whose path inside the file system is `path`;
// false when the user answered Quit.
bool WalkDirectory(Walk& walk, TSK_INUM_T inum, const std::string& path, int depth) {
  const InnerName here{walk.shown, walk.prefix + (path.empty() ? "/" : path)};
  if (depth > kMaxDepth) {
    ReportNotScanned(here, "directories nest too deep", *walk.seams);
    return true;
  }
  if (!walk.entered.insert(inum).second) {
    ReportNotScanned(here, "a directory that contains itself", *walk.seams);
    return true;
  }
  std::unique_ptr<TSK_FS_DIR, DirCloser> dir(tsk_fs_dir_open_meta(walk.fs, inum));
  if (!dir) {
    ReportNotScanned(here, "this directory cannot be read: " + TskError("damaged"), *walk.seams);
    return true;
  }
  const size_t count = tsk_fs_dir_getsize(dir.get());
  for (size_t i = 0; i < count; ++i) {
    std::unique_ptr<TSK_FS_FILE, FileCloser> file(tsk_fs_dir_get(dir.get(), i));
    if (!file || file->name == nullptr || file->name->name == nullptr) continue;
    const std::string name = file->name->name;
    if (name == "." || name == ".." || (file->name->flags & TSK_FS_NAME_FLAG_ALLOC) == 0) continue;
    const std::string inner = path + "/" + name;
    const InnerName named{walk.shown, walk.prefix + inner};
    if (file->meta == nullptr) {
      ReportNotScanned(named, "its entry cannot be read", *walk.seams);
      continue;
    }
    const TSK_FS_META_TYPE_ENUM type = file->meta->type;
    // The library's own views (the FAT copies, orphans) are no files.
    if (type == TSK_FS_META_TYPE_VIRT || type == TSK_FS_META_TYPE_VIRT_DIR) continue;
    if (type == TSK_FS_META_TYPE_DIR) {
      if (!WalkDirectory(walk, file->meta->addr, inner, depth + 1)) return false;
      continue;
    }
    if (type != TSK_FS_META_TYPE_REG || !IsSelected(name, *walk.seams)) continue;
    if (++walk.files > walk.seams->limits.imageFiles) {
      ReportNotScanned(named, "the image holds more files than the limit", *walk.seams);
      return true;
    }
    TskFileSource bytes(file.get());
    if (!HandleInner(named, bytes, Cleaner(), walk.readOnly, *walk.seams)) return false;
  }
  return true;
}

// Walks one file system of the image. FAT is read from `direct` where
// there is one (the raw image file, or a virtual disk's guest bytes), so
// that what a cleaning wrote is seen at once; its files are cleaned where
// `home` says where the image lies, else only scanned for `readOnly`.
LookResult WalkFileSystem(TSK_IMG_INFO* img, TSK_FS_INFO* fs, os::ByteSource* direct,
                          const ImageHome* home, const std::string& why, const std::string& shown,
                          const std::string& prefix, const Seams& seams) {
  const bool fat = TSK_FS_TYPE_ISFAT(fs->ftype);
  std::string readOnly =
      std::string("read-only container: ") +
      (fat ? why : std::string(tsk_fs_type_toname(fs->ftype)) + " file systems are only scanned");
  if (fat) {
    // Our own reader walks FAT, so that the file scanned is the file
    // cleaned.
    TskImageSource through(img);
    os::ByteSource* source = direct != nullptr ? direct : &through;
    std::string error;
    std::optional<FatVolume> volume =
        FatVolume::Open(*source, static_cast<uint64_t>(fs->offset), error);
    if (volume) {
      volume->SetCodepage(seams.codepage);
      FatWalkPlace place{shown, prefix, direct != nullptr ? home : nullptr, readOnly};
      return WalkFatVolume(*volume, place, seams) ? LookResult::Scanned : LookResult::Stopped;
    }
    readOnly = "read-only container: its FAT file system cannot be read for cleaning: " + error;
  }
  Walk walk{fs, shown, prefix, readOnly, &seams, {}, 0};
  return WalkDirectory(walk, fs->root_inum, "", 0) ? LookResult::Scanned : LookResult::Stopped;
}

// A disk read through our own byte source (bytes in memory, a virtual
// disk's guest), for the library: its image structure first (the library's
// own header), the source after it.
struct SourceImage {
  TSK_IMG_INFO info;
  os::ByteSource* source;
};

ssize_t ReadSourceImage(TSK_IMG_INFO* img, TSK_OFF_T offset, char* buffer, size_t length) {
  auto* image = reinterpret_cast<SourceImage*>(img);
  if (offset < 0) return -1;
  const uint32_t n = static_cast<uint32_t>(std::min<size_t>(length, 1u << 30));
  std::optional<uint32_t> got = image->source->ReadAt(static_cast<uint64_t>(offset), buffer, n);
  return got ? static_cast<ssize_t>(*got) : -1;
}

void CloseSourceImage(TSK_IMG_INFO* img) { std::free(img); }
void DescribeSourceImage(TSK_IMG_INFO*, FILE*) {}

// The library's view of `source` as a raw disk; null when it refuses it.
TSK_IMG_INFO* OpenSourceImage(os::ByteSource& source) {
  std::optional<uint64_t> size = source.Size();
  if (!size || *size == 0 || *size > static_cast<uint64_t>(INT64_MAX)) return nullptr;
  // The structure holds the library's read cache: too large for the stack,
  // and freed by CloseSourceImage when the library closes the image.
  auto* image = static_cast<SourceImage*>(std::calloc(1, sizeof(SourceImage)));
  if (image == nullptr) return nullptr;
  image->source = &source;
  TSK_IMG_INFO* img = tsk_img_open_external(image, static_cast<TSK_OFF_T>(*size), 0,
                                            ReadSourceImage, CloseSourceImage, DescribeSourceImage);
  if (img == nullptr) std::free(image);
  return img;
}

// What is wrong with the MBR's chain of partitions, in words for a user;
// empty when nothing is. Logical partitions are followed link by link from
// the extended one: a link that leads back to one already met, a partition
// that lies over another or outside its extended partition, is refused
// before anything on the disk is read or written.
std::string PartitionChainProblem(os::ByteSource& disk) {
  constexpr int kMaxLinks = 256;
  struct Span {
    uint64_t start;
    uint64_t end;
  };
  std::array<uint8_t, 512> sector{};
  if (!ReadFully(disk, 0, sector.data(), sector.size())) return std::string();
  auto u32 = [&sector](size_t at) {
    return uint32_t{sector[at]} | uint32_t{sector[at + 1]} << 8 | uint32_t{sector[at + 2]} << 16 |
           uint32_t{sector[at + 3]} << 24;
  };
  auto isExtended = [](uint8_t type) { return type == 0x05 || type == 0x0F || type == 0x85; };
  std::vector<Span> volumes;
  std::vector<Span> extended;
  for (int slot = 0; slot < 4; ++slot) {
    const size_t at = 446 + 16 * static_cast<size_t>(slot);
    const uint8_t type = sector[at + 4];
    const uint64_t start = u32(at + 8);
    const uint64_t length = u32(at + 12);
    if (type == 0 || length == 0) continue;
    (isExtended(type) ? extended : volumes).push_back({start, start + length});
  }
  for (const Span& container : extended) {
    std::vector<uint64_t> met;
    for (uint64_t link = container.start;;) {
      if (std::find(met.begin(), met.end(), link) != met.end() ||
          met.size() >= static_cast<size_t>(kMaxLinks)) {
        return "a loop in its chain of logical partitions";
      }
      met.push_back(link);
      if (link >= container.end || !ReadFully(disk, link * 512, sector.data(), sector.size()) ||
          sector[510] != 0x55 || sector[511] != 0xAA) {
        return "a link of its chain of logical partitions lies outside it or cannot be read";
      }
      const uint64_t start = link + u32(446 + 8);
      const uint64_t length = u32(446 + 12);
      if (sector[446 + 4] != 0 && length != 0) {
        if (start + length > container.end) {
          return "a logical partition reaches past its extended partition";
        }
        volumes.push_back({start, start + length});
      }
      if (!isExtended(sector[462 + 4]) || u32(462 + 12) == 0) break;
      link = container.start + u32(462 + 8);
    }
  }
  std::sort(volumes.begin(), volumes.end(),
            [](const Span& a, const Span& b) { return a.start < b.start; });
  for (size_t i = 1; i < volumes.size(); ++i) {
    if (volumes[i].start < volumes[i - 1].end) return "two of its partitions overlap";
  }
  return std::string();
}

// Walks the file systems of the opened image: one, or one per partition.
LookResult ScanImage(TSK_IMG_INFO* opened, os::ByteSource* direct, const ImageHome* home,
                     const std::string& why, const std::string& shown, const Seams& seams) {
  std::unique_ptr<TSK_IMG_INFO, ImageCloser> img(opened);
  // A boot sector that reads as a FAT volume is a volume, whatever stray
  // bytes its partition-table area holds: only a disk that is none has
  // partitions looked for.
  TskImageSource through(img.get());
  std::string notFat;
  const bool bareFat =
      FatVolume::Open(direct != nullptr ? *direct : through, 0, notFat).has_value();
  std::unique_ptr<TSK_VS_INFO, VolumesCloser> volumes(
      bareFat ? nullptr : tsk_vs_open(img.get(), 0, TSK_VS_TYPE_DETECT));
  tsk_error_reset();
  if (!volumes) {
    std::unique_ptr<TSK_FS_INFO, FsCloser> fs(tsk_fs_open_img(img.get(), 0, TSK_FS_TYPE_DETECT));
    if (!fs) {
      tsk_error_reset();
      return LookResult::NotContainer;
    }
    return WalkFileSystem(img.get(), fs.get(), direct, home, why, shown, "", seams);
  }
  if (volumes->vstype == TSK_VS_TYPE_DOS) {
    const std::string problem = PartitionChainProblem(direct != nullptr ? *direct : through);
    if (!problem.empty()) {
      ReportNotScanned({shown, ""}, "its partition table is refused: " + problem, seams);
      return LookResult::Scanned;
    }
  }
  int number = 0;
  for (TSK_PNUM_T i = 0; i < volumes->part_count; ++i) {
    const TSK_VS_PART_INFO* part = tsk_vs_part_get(volumes.get(), i);
    if (part == nullptr || (part->flags & TSK_VS_PART_FLAG_ALLOC) == 0) continue;
    const std::string prefix = "/partition" + std::to_string(++number);
    std::unique_ptr<TSK_FS_INFO, FsCloser> fs(tsk_fs_open_vol(part, TSK_FS_TYPE_DETECT));
    if (!fs) {
      ReportNotScanned({shown, prefix}, "no file system that can be read: " + TskError("unknown"),
                       seams);
      continue;
    }
    if (WalkFileSystem(img.get(), fs.get(), direct, home, why, shown, prefix, seams) ==
        LookResult::Stopped) {
      return LookResult::Stopped;
    }
  }
  return LookResult::Scanned;
}

}  // namespace

LookResult ScanDiskImage(const std::string& path, const ImageHome* home, const std::string& shown,
                         const Seams& seams) {
  os::File file =
      os::File::Open(path, os::Access::Read, os::Share::ReadWrite, os::Disposition::OpenExisting);
  if (!file.IsOpen()) return LookResult::NotContainer;
  const DiskFormat format = FormatOf(file);
  if (format.kind != DiskFormat::Kind::Raw) {
    if (home == nullptr) {
      ReportNotScanned({shown, ""}, "a virtual machine's disk is read only where it lies", seams);
      return LookResult::Scanned;
    }
    return ScanVirtualDisk(file, format, *home, shown, seams);
  }
  tsk_error_reset();
  TSK_IMG_INFO* img = tsk_img_open_utf8_sing(path.c_str(), TSK_IMG_TYPE_RAW, 0);
  if (img == nullptr) {
    tsk_error_reset();
    return LookResult::NotContainer;
  }
  return ScanImage(img, &file, home, kOnlyRead, shown, seams);
}

LookResult ScanDiskThrough(os::ByteSource& disk, const ImageHome* home, const std::string& readOnly,
                           const std::string& shown, const Seams& seams) {
  tsk_error_reset();
  TSK_IMG_INFO* img = OpenSourceImage(disk);
  if (img == nullptr) {
    tsk_error_reset();
    ReportNotScanned({shown, ""}, "its disk cannot be read", seams);
    return LookResult::Scanned;
  }
  return ScanImage(img, &disk, home, readOnly, shown, seams);
}

LookResult ScanDiskImageBytes(std::span<const uint8_t> bytes, const std::string& shown,
                              const Seams& seams) {
  MemoryBytes source(bytes);
  if (FormatOf(source).kind != DiskFormat::Kind::Raw) {
    // QEMU reads these disks only from files of their own.
    ReportNotScanned({shown, ""},
                     "a virtual machine's disk is read from a file only, not from bytes", seams);
    return LookResult::Scanned;
  }
  tsk_error_reset();
  TSK_IMG_INFO* img = OpenSourceImage(source);
  if (img == nullptr) {
    tsk_error_reset();
    return LookResult::NotContainer;
  }
  return ScanImage(img, nullptr, nullptr, kOnlyRead, shown, seams);
}

}  // namespace inside
