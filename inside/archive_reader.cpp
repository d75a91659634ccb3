#include "inside/archive_reader.h"

#include <archive.h>
#include <archive_entry.h>

#include <algorithm>
#include <memory>
#include <vector>

#include "os/file.h"

namespace inside {
namespace {

constexpr uint32_t kChunk = 64 * 1024;
constexpr char kReadOnly[] = "read-only container: archives are only scanned";

struct ArchiveFree {
  void operator()(archive* a) const { archive_read_free(a); }
};
using ArchivePtr = std::unique_ptr<archive, ArchiveFree>;

std::string MiB(uint64_t bytes) { return std::to_string(bytes >> 20) + " MiB"; }

// What one top-level archive and all inside it may take.
struct Budget {
  const Limits& limits;
  uint64_t archiveSize;  // of the archive file itself
  uint64_t read = 0;     // decompressed, so far
  std::string exceeded;  // the limit passed, once one is
};

ArchivePtr NewReader() {
  ArchivePtr a(archive_read_new());
  if (a) {
    archive_read_support_filter_all(a.get());
    archive_read_support_format_all(a.get());
  }
  return a;
}

// One member as a stream: read from the archive only as far as a reader
// asks, and kept, so that it can be read again at any offset before that.
class MemberSource final : public InnerSource {
 public:
  MemberSource(archive* a, archive_entry* entry, Budget& budget) : archive_(a), budget_(budget) {
    if (archive_entry_size_is_set(entry) != 0 && archive_entry_size(entry) >= 0) {
      declared_ = static_cast<uint64_t>(archive_entry_size(entry));
    }
  }

  std::optional<uint32_t> ReadAt(uint64_t offset, void* buffer, uint32_t length) override {
    if (offset > UINT64_MAX - length || !Fill(offset + length)) {
      if (!problem_.empty()) return std::nullopt;
    }
    if (offset >= bytes_.size()) return 0;
    uint32_t n = static_cast<uint32_t>(std::min<uint64_t>(length, bytes_.size() - offset));
    std::copy_n(bytes_.data() + offset, n, static_cast<uint8_t*>(buffer));
    return n;
  }

  std::optional<uint64_t> Size() override {
    if (declared_) return *declared_;
    if (!Fill(UINT64_MAX) && !problem_.empty()) return std::nullopt;
    return bytes_.size();
  }

  std::string Problem() const override { return problem_; }

  // The whole member; false (Problem says why) when it cannot be read whole.
  bool ReadAll() { return Fill(UINT64_MAX) && problem_.empty(); }
  const std::vector<uint8_t>& bytes() const { return bytes_; }

 private:
  // Reads on until `wanted` bytes are held or the member ends; false when a
  // read fails or a limit is passed.
  bool Fill(uint64_t wanted) {
    const Limits& limits = budget_.limits;
    while (bytes_.size() < wanted && !ended_) {
      if (!problem_.empty()) return false;
      if (bytes_.size() >= limits.memberBytes) {
        return Fail("it is larger than the limit of " + MiB(limits.memberBytes) +
                    " decompressed: not scanned");
      }
      uint8_t chunk[kChunk];
      la_ssize_t got = archive_read_data(archive_, chunk, kChunk);
      if (got < 0) {
        const char* why = archive_error_string(archive_);
        return Fail(std::string("it cannot be read: ") + (why != nullptr ? why : "damaged"));
      }
      if (got == 0) {
        ended_ = true;
        break;
      }
      bytes_.insert(bytes_.end(), chunk, chunk + got);
      budget_.read += static_cast<uint64_t>(got);
      if (budget_.read > limits.archiveBytes) {
        budget_.exceeded =
            "more than the limit of " + MiB(limits.archiveBytes) + " decompressed from one archive";
      } else if (budget_.read > limits.ratioFloor &&
                 budget_.read / limits.ratio > budget_.archiveSize) {
        budget_.exceeded = "more than " + std::to_string(limits.ratio) +
                           " times the archive's own size decompressed (an archive bomb?)";
      }
      if (!budget_.exceeded.empty()) return Fail("not scanned: " + budget_.exceeded);
    }
    return true;
  }
  bool Fail(std::string why) {
    problem_ = std::move(why);
    return false;
  }

  archive* archive_;
  Budget& budget_;
  std::optional<uint64_t> declared_;
  std::vector<uint8_t> bytes_;
  bool ended_ = false;
  std::string problem_;
};

std::string LastName(const std::string& path) {
  size_t at = path.find_last_of('/');
  return at == std::string::npos ? path : path.substr(at + 1);
}

// A member's path as "/a/b": leading "./" and "/" dropped.
std::string MemberPath(archive_entry* entry) {
  const char* raw = archive_entry_pathname(entry);
  std::string path = raw != nullptr ? raw : "";
  while (path.starts_with("./") || path.starts_with("/")) path.erase(0, path[0] == '.' ? 2 : 1);
  return "/" + path;
}

LookResult Walk(archive* a, const InnerName& base, int depth, Budget& budget, const Seams& seams,
                bool mustBeArchive);

// An archive inside an archive, held whole in `bytes`.
LookResult WalkNested(const std::vector<uint8_t>& bytes, const InnerName& name, int depth,
                      Budget& budget, const Seams& seams) {
  ArchivePtr a = NewReader();
  if (!a || archive_read_open_memory(a.get(), bytes.data(), bytes.size()) != ARCHIVE_OK) {
    ReportNotScanned(name, "it cannot be read as an archive", seams);
    return LookResult::Scanned;
  }
  return Walk(a.get(), name, depth, budget, seams, true);
}

LookResult Walk(archive* a, const InnerName& base, int depth, Budget& budget, const Seams& seams,
                bool mustBeArchive) {
  uint64_t members = 0;
  bool any = false;
  for (;;) {
    archive_entry* entry = nullptr;
    int status = archive_read_next_header(a, &entry);
    if (status == ARCHIVE_EOF) break;
    if (status != ARCHIVE_OK && status != ARCHIVE_WARN) {
      if (!any && !mustBeArchive) return LookResult::NotContainer;
      const char* why = archive_error_string(a);
      ReportNotScanned(base, std::string("the archive is damaged: ") + (why ? why : "unreadable"),
                       seams);
      return LookResult::Scanned;
    }
    any = true;
    if (++members > budget.limits.members) {
      ReportNotScanned(base,
                       "it holds more members than the limit of " +
                           std::to_string(budget.limits.members) + ": the rest was not scanned",
                       seams);
      return LookResult::Scanned;
    }
    if (archive_entry_filetype(entry) != AE_IFREG) continue;
    const std::string inner = base.inner + MemberPath(entry);
    const std::string name = LastName(inner);
    const bool selected = IsSelected(name, seams);
    const bool nested = IsContainerName(name);
    if (!selected && !nested) continue;
    const InnerName named{base.container, inner};
    MemberSource bytes(a, entry, budget);
    if (selected && !HandleInner(named, bytes, Cleaner(), kReadOnly, seams)) {
      return LookResult::Stopped;
    }
    if (nested && bytes.Problem().empty()) {
      if (depth >= budget.limits.depth) {
        ReportNotScanned(named,
                         "an archive nested deeper than the limit of " +
                             std::to_string(budget.limits.depth) + ": not scanned",
                         seams);
      } else if (!bytes.ReadAll()) {
        ReportNotScanned(named, bytes.Problem(), seams);
      } else if (WalkNested(bytes.bytes(), {base.container, inner + "!"}, depth + 1, budget,
                            seams) == LookResult::Stopped) {
        return LookResult::Stopped;
      }
    }
    // A bomb stops the whole archive: nothing more of it is read.
    if (!budget.exceeded.empty()) {
      ReportNotScanned(base, "the rest was not scanned: " + budget.exceeded, seams);
      return LookResult::Scanned;
    }
  }
  if (!any && !mustBeArchive) return LookResult::NotContainer;
  return LookResult::Scanned;
}

}  // namespace

LookResult ScanArchive(const std::string& path, const std::string& shown, const Seams& seams) {
  ArchivePtr a = NewReader();
  if (!a || archive_read_open_filename(a.get(), path.c_str(), kChunk) != ARCHIVE_OK) {
    return LookResult::NotContainer;
  }
  Budget budget{seams.limits, 0, 0, ""};
  {
    os::File file =
        os::File::Open(path, os::Access::Read, os::Share::ReadWrite, os::Disposition::OpenExisting);
    budget.archiveSize = file.IsOpen() ? file.Size().value_or(0) : 0;
  }
  return Walk(a.get(), {shown, ""}, 0, budget, seams, false);
}

LookResult ScanArchiveBytes(std::span<const uint8_t> bytes, const std::string& shown,
                            const Seams& seams) {
  ArchivePtr a = NewReader();
  if (!a || archive_read_open_memory(a.get(), bytes.data(), bytes.size()) != ARCHIVE_OK) {
    return LookResult::NotContainer;
  }
  Budget budget{seams.limits, bytes.size(), 0, ""};
  return Walk(a.get(), {shown, ""}, 0, budget, seams, false);
}

}  // namespace inside
