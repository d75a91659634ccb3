#include "inside/disk_image.h"

#include <tsk/libtsk.h>

#include <array>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <unordered_set>

#include "inside/fat_volume.h"
#include "inside/fat_walk.h"
#include "inside/memory_bytes.h"
#include "os/file.h"

namespace inside {
namespace {

// Directories nest no deeper than this in any image we walk.
constexpr int kMaxDepth = 128;

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

// `raw`: the image is a raw one, opened by `path`, whose files are cleaned
// where `home` says where it lies; `path` is empty for one held in memory,
// which is only scanned.
LookResult WalkFileSystem(TSK_IMG_INFO* img, bool raw, TSK_FS_INFO* fs, const std::string& path,
                          const ImageHome* home, const std::string& shown,
                          const std::string& prefix, const Seams& seams) {
  const bool fat = TSK_FS_TYPE_ISFAT(fs->ftype);
  std::string readOnly =
      std::string("read-only container: ") +
      (fat ? "only FAT file systems in raw images are cleaned"
           : std::string(tsk_fs_type_toname(fs->ftype)) + " file systems are only scanned");
  if (fat) {
    // Our own reader walks FAT, so that the file scanned is the file
    // cleaned; a raw image is read as the file it is, seeing at once what a
    // cleaning wrote.
    os::File file;
    TskImageSource through(img);
    os::ByteSource* source = &through;
    if (raw && !path.empty()) {
      file = os::File::Open(path, os::Access::Read, os::Share::ReadWrite,
                            os::Disposition::OpenExisting);
      if (file.IsOpen()) source = &file;
    }
    std::string error;
    std::optional<FatVolume> volume =
        FatVolume::Open(*source, static_cast<uint64_t>(fs->offset), error);
    if (volume) {
      volume->SetCodepage(seams.codepage);
      FatWalkPlace place{shown, prefix, file.IsOpen() ? home : nullptr, readOnly};
      return WalkFatVolume(*volume, place, seams) ? LookResult::Scanned : LookResult::Stopped;
    }
    readOnly = "read-only container: its FAT file system cannot be read for cleaning: " + error;
  }
  Walk walk{fs, shown, prefix, readOnly, &seams, {}, 0};
  return WalkDirectory(walk, fs->root_inum, "", 0) ? LookResult::Scanned : LookResult::Stopped;
}

// The kind of disk file by its own marks: a VHD's footer ("conectix" in its
// last sector), a VMDK's header ("KDMV", or a descriptor's first line), else
// raw. Told to the library rather than left to its detection, which on this
// Debian's build leaks what it allocates for each kind that does not match.
TSK_IMG_TYPE_ENUM ImageTypeOf(os::ByteSource& file) {
  std::optional<uint64_t> size = file.Size();
  std::array<char, 512> head{};
  std::array<char, 512> tail{};
  if (!size || *size < head.size() || !ReadFully(file, 0, head.data(), head.size()) ||
      !ReadFully(file, *size - tail.size(), tail.data(), tail.size())) {
    return TSK_IMG_TYPE_RAW;
  }
  if (std::memcmp(tail.data(), "conectix", 8) == 0 ||
      std::memcmp(head.data(), "conectix", 8) == 0) {
    return TSK_IMG_TYPE_VHD_VHD;
  }
  static constexpr char kDescriptor[] = "# Disk DescriptorFile";
  if (std::memcmp(head.data(), "KDMV", 4) == 0 || std::memcmp(head.data(), "COWD", 4) == 0 ||
      std::memcmp(head.data(), kDescriptor, sizeof kDescriptor - 1) == 0) {
    return TSK_IMG_TYPE_VMDK_VMDK;
  }
  return TSK_IMG_TYPE_RAW;
}

TSK_IMG_TYPE_ENUM ImageTypeOf(const std::string& path) {
  os::File file =
      os::File::Open(path, os::Access::Read, os::Share::ReadWrite, os::Disposition::OpenExisting);
  if (!file.IsOpen()) return TSK_IMG_TYPE_RAW;
  return ImageTypeOf(file);
}

// A raw image held in memory, for the library: its image structure first
// (the library's own header), the bytes after it.
struct MemoryImage {
  TSK_IMG_INFO info;
  std::span<const uint8_t> bytes;
};

ssize_t ReadMemoryImage(TSK_IMG_INFO* img, TSK_OFF_T offset, char* buffer, size_t length) {
  const auto* image = reinterpret_cast<const MemoryImage*>(img);
  if (offset < 0) return -1;
  const auto at = static_cast<uint64_t>(offset);
  if (at >= image->bytes.size()) return 0;
  const size_t n = static_cast<size_t>(std::min<uint64_t>(length, image->bytes.size() - at));
  std::memcpy(buffer, image->bytes.data() + at, n);
  return static_cast<ssize_t>(n);
}

void CloseMemoryImage(TSK_IMG_INFO* img) { std::free(img); }
void DescribeMemoryImage(TSK_IMG_INFO*, FILE*) {}

// The library's view of `bytes` as a raw image; null when it refuses them.
TSK_IMG_INFO* OpenMemoryImage(std::span<const uint8_t> bytes) {
  if (bytes.empty()) return nullptr;
  // The structure holds the library's read cache: too large for the stack,
  // and freed by CloseMemoryImage when the library closes the image.
  auto* image = static_cast<MemoryImage*>(std::calloc(1, sizeof(MemoryImage)));
  if (image == nullptr) return nullptr;
  image->bytes = bytes;
  TSK_IMG_INFO* img = tsk_img_open_external(image, static_cast<TSK_OFF_T>(bytes.size()), 0,
                                            ReadMemoryImage, CloseMemoryImage, DescribeMemoryImage);
  if (img == nullptr) std::free(image);
  return img;
}

// Walks the file systems of the opened image: one, or one per partition.
LookResult ScanImage(TSK_IMG_INFO* opened, bool raw, const std::string& path, const ImageHome* home,
                     const std::string& shown, const Seams& seams) {
  std::unique_ptr<TSK_IMG_INFO, ImageCloser> img(opened);
  std::unique_ptr<TSK_VS_INFO, VolumesCloser> volumes(
      tsk_vs_open(img.get(), 0, TSK_VS_TYPE_DETECT));
  tsk_error_reset();
  if (!volumes) {
    std::unique_ptr<TSK_FS_INFO, FsCloser> fs(tsk_fs_open_img(img.get(), 0, TSK_FS_TYPE_DETECT));
    if (!fs) {
      tsk_error_reset();
      return LookResult::NotContainer;
    }
    return WalkFileSystem(img.get(), raw, fs.get(), path, home, shown, "", seams);
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
    if (WalkFileSystem(img.get(), raw, fs.get(), path, home, shown, prefix, seams) ==
        LookResult::Stopped) {
      return LookResult::Stopped;
    }
  }
  return LookResult::Scanned;
}

}  // namespace

LookResult ScanDiskImage(const std::string& path, const ImageHome* home, const std::string& shown,
                         const Seams& seams) {
  tsk_error_reset();
  const TSK_IMG_TYPE_ENUM type = ImageTypeOf(path);
  // A VHD or VMDK disk is opened by its name, by which the library finds
  // the disk's other parts; it is only scanned.
  const std::string named =
      type != TSK_IMG_TYPE_RAW && home != nullptr ? home->folder->PathOf(home->name) : path;
  TSK_IMG_INFO* img = tsk_img_open_utf8_sing(named.c_str(), type, 0);
  if (img == nullptr) {
    tsk_error_reset();
    return LookResult::NotContainer;
  }
  return ScanImage(img, TSK_IMG_TYPE_ISRAW(img->itype) != 0, path, home, shown, seams);
}

LookResult ScanDiskImageBytes(std::span<const uint8_t> bytes, const std::string& shown,
                              const Seams& seams) {
  MemoryBytes source(bytes);
  if (ImageTypeOf(source) != TSK_IMG_TYPE_RAW) {
    // The library reads these disks only from files of their own.
    ReportNotScanned({shown, ""}, "a VHD or VMDK disk is read from a file only, not from bytes",
                     seams);
    return LookResult::Scanned;
  }
  tsk_error_reset();
  TSK_IMG_INFO* img = OpenMemoryImage(bytes);
  if (img == nullptr) {
    tsk_error_reset();
    return LookResult::NotContainer;
  }
  return ScanImage(img, true, "", nullptr, shown, seams);
}

}  // namespace inside
