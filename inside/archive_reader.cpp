#include "inside/archive_reader.h"

#include <archive.h>
#include <archive_entry.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <functional>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include "inside/zip_layout.h"
#include "os/file.h"

namespace inside {
namespace {

constexpr uint32_t kChunk = 64 * 1024;
// Of a member's bytes, no more than this is held in memory: the rest waits
// in a temporary file, so that archives nested in archives take little.
constexpr uint64_t kHeldInMemory = 8ull << 20;
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

struct FileClose {
  void operator()(std::FILE* file) const { std::fclose(file); }
};

// A member's bytes as far as they were read: the first kHeldInMemory in
// memory, the rest in an unnamed temporary file (made by tmpfile(): no
// name that another user could have placed).
class HeldBytes {
 public:
  uint64_t size() const { return size_; }
  bool spilled() const { return spill_ != nullptr; }
  std::FILE* spill() const { return spill_.get(); }
  const std::vector<uint8_t>& memory() const { return memory_; }

  // False, with `error`, when the bytes past memory cannot be kept.
  bool Append(const uint8_t* bytes, size_t length, std::string& error) {
    if (!spill_ && memory_.size() + length <= kHeldInMemory) {
      memory_.insert(memory_.end(), bytes, bytes + length);
      size_ += length;
      return true;
    }
    if (!spill_) {
      spill_.reset(std::tmpfile());
      if (!spill_ ||
          std::fwrite(memory_.data(), 1, memory_.size(), spill_.get()) != memory_.size()) {
        error = "too large to scan here: no temporary file could be written for it";
        return false;
      }
      std::vector<uint8_t>().swap(memory_);
    }
    if (fseeko(spill_.get(), 0, SEEK_END) != 0 ||
        std::fwrite(bytes, 1, length, spill_.get()) != length) {
      error = "too large to scan here: its temporary file could not be written (is the disk full?)";
      return false;
    }
    size_ += length;
    return true;
  }

  bool Read(uint64_t offset, uint8_t* out, size_t length) const {
    if (!spill_) {
      std::copy_n(memory_.data() + offset, length, out);
      return true;
    }
    return fseeko(spill_.get(), static_cast<off_t>(offset), SEEK_SET) == 0 &&
           std::fread(out, 1, length, spill_.get()) == length;
  }

 private:
  std::vector<uint8_t> memory_;
  std::unique_ptr<std::FILE, FileClose> spill_;
  uint64_t size_ = 0;
};

// libarchive reading a spilled member as a seekable file.
struct SpillReader {
  std::FILE* file;
  std::vector<char> buffer = std::vector<char>(kChunk);
};

la_ssize_t ReadSpill(archive* a, void* data, const void** out) {
  auto* reader = static_cast<SpillReader*>(data);
  const size_t got = std::fread(reader->buffer.data(), 1, reader->buffer.size(), reader->file);
  if (got == 0 && std::ferror(reader->file) != 0) {
    archive_set_error(a, EIO, "its temporary file cannot be read");
    return -1;
  }
  *out = reader->buffer.data();
  return static_cast<la_ssize_t>(got);
}

la_int64_t SeekSpill(archive*, void* data, la_int64_t offset, int whence) {
  auto* reader = static_cast<SpillReader*>(data);
  if (fseeko(reader->file, static_cast<off_t>(offset), whence) != 0) return ARCHIVE_FATAL;
  return ftello(reader->file);
}

// A reader opened over held bytes, and what it reads through.
struct HeldReader {
  std::unique_ptr<SpillReader> spill;
  ArchivePtr archive;
};

// Opens `held` with `configure` choosing the formats and filters.
HeldReader OpenHeld(const HeldBytes& held, const std::function<void(archive*)>& configure) {
  HeldReader reader;
  reader.archive.reset(archive_read_new());
  if (!reader.archive) return reader;
  archive* a = reader.archive.get();
  configure(a);
  int status = ARCHIVE_FATAL;
  if (held.spilled()) {
    std::rewind(held.spill());
    reader.spill = std::make_unique<SpillReader>(SpillReader{held.spill()});
    archive_read_set_read_callback(a, ReadSpill);
    archive_read_set_seek_callback(a, SeekSpill);
    archive_read_set_callback_data(a, reader.spill.get());
    status = archive_read_open1(a);
  } else {
    status = archive_read_open_memory(a, held.memory().data(), held.memory().size());
  }
  if (status != ARCHIVE_OK) reader.archive.reset();
  return reader;
}

void AllFormats(archive* a) {
  archive_read_support_filter_all(a);
  archive_read_support_format_all(a);
}

// The compressed stream alone (gzip, bzip2, xz, ...), its archive format not
// read: to check it to its end.
void StreamOnly(archive* a) {
  archive_read_support_filter_all(a);
  archive_read_support_format_raw(a);
}

// Reads the compressed stream that `a` read its archive from on to its end,
// where gzip and the like keep the check of all that came before; what is
// wrong, in words for a user, or empty. Reading an archive stops at its own
// end mark and would never get there.
std::string CheckStreamToEnd(archive* a, const Limits& limits) {
  archive_entry* entry = nullptr;
  if (archive_read_next_header(a, &entry) != ARCHIVE_OK) {
    const char* why = archive_error_string(a);
    return std::string("the archive is damaged: ") + (why != nullptr ? why : "unreadable");
  }
  std::vector<uint8_t> chunk(kChunk);
  uint64_t read = 0;
  for (;;) {
    la_ssize_t got = archive_read_data(a, chunk.data(), chunk.size());
    if (got == 0) return "";
    if (got < 0) {
      const char* why = archive_error_string(a);
      return std::string("the archive is damaged at its end: ") +
             (why != nullptr ? why : "unreadable");
    }
    read += static_cast<uint64_t>(got);
    if (read > limits.archiveBytes) {
      return "its end was not checked: more than the limit of " + MiB(limits.archiveBytes) +
             " decompressed";
    }
  }
}

// Bytes fed in order: how many were put in `buffer` (at most `length`); 0
// at the end, nullopt when they cannot be read.
using Feed = std::function<std::optional<size_t>(uint8_t* buffer, size_t length)>;

// A gzip stream (one member or several, one after the other) inflated to its
// end with each member's CRC-32 and length checked, which libarchive does
// not; what is wrong, in words for a user, or empty.
std::string CheckGzip(const Feed& feed, const Limits& limits) {
  z_stream z{};
  if (inflateInit2(&z, 16 + MAX_WBITS) != Z_OK) return "its end cannot be checked";
  std::vector<uint8_t> in(kChunk);
  std::vector<uint8_t> out(kChunk);
  uint64_t inflated = 0;
  std::string damage;
  bool memberEnded = false;
  while (damage.empty()) {
    if (z.avail_in == 0) {
      std::optional<size_t> got = feed(in.data(), in.size());
      if (!got) {
        damage = "the archive cannot be read to its end";
        break;
      }
      if (*got == 0) {
        if (!memberEnded)
          damage = "the archive is damaged at its end: its gzip stream is cut short";
        break;
      }
      z.next_in = in.data();
      z.avail_in = static_cast<uInt>(*got);
    }
    if (memberEnded) {
      // Another member follows only where its magic number does; anything
      // else after the last one (padding) is left as gzip leaves it.
      if (z.next_in[0] != 0x1F) break;
      inflateReset(&z);
      memberEnded = false;
    }
    z.next_out = out.data();
    z.avail_out = static_cast<uInt>(out.size());
    const int status = inflate(&z, Z_NO_FLUSH);
    inflated += out.size() - z.avail_out;
    if (status == Z_STREAM_END) {
      memberEnded = true;
    } else if (status != Z_OK && status != Z_BUF_ERROR) {
      damage = std::string("the archive is damaged at its end: ") +
               (z.msg != nullptr ? z.msg : "its gzip stream does not check out");
    } else if (inflated > limits.archiveBytes) {
      damage = "its end was not checked: more than the limit of " + MiB(limits.archiveBytes) +
               " decompressed";
    }
  }
  inflateEnd(&z);
  return damage;
}

// The stream an archive was read from checked to its end: by zlib for gzip,
// else by the filter's own library (bzip2 and xz check as they read).
std::string CheckToEnd(archive* walked, const std::function<ArchivePtr()>& reopen, const Feed& feed,
                       const Limits& limits) {
  if (archive_filter_count(walked) <= 1) return "";  // no compressed stream around the archive
  if (archive_filter_code(walked, 0) == ARCHIVE_FILTER_GZIP) return CheckGzip(feed, limits);
  ArchivePtr stream = reopen();
  return stream ? CheckStreamToEnd(stream.get(), limits) : "it cannot be read to its end";
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
    if (!bytes_.Read(offset, static_cast<uint8_t*>(buffer), n)) {
      problem_ = "it cannot be read: its temporary file cannot be read";
      return std::nullopt;
    }
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
  const HeldBytes& bytes() const { return bytes_; }

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
      std::string error;
      if (!bytes_.Append(chunk, static_cast<size_t>(got), error)) return Fail(error);
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
  HeldBytes bytes_;
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
                bool mustBeArchive, bool damageSaid = false);
LookResult WalkZipBytes(const HeldBytes& bytes, const InnerName& name, int depth, Budget& budget,
                        const Seams& seams, bool& wasZip);

// An archive inside an archive, held in `bytes`.
LookResult WalkNested(const HeldBytes& bytes, const InnerName& name, int depth, Budget& budget,
                      const Seams& seams) {
  bool wasZip = false;
  LookResult zip = WalkZipBytes(bytes, name, depth, budget, seams, wasZip);
  if (wasZip) return zip;
  HeldReader reader = OpenHeld(bytes, AllFormats);
  if (!reader.archive) {
    ReportNotScanned(name, "it cannot be read as an archive", seams);
    return LookResult::Scanned;
  }
  LookResult result = Walk(reader.archive.get(), name, depth, budget, seams, true);
  if (result == LookResult::Scanned) {
    HeldReader stream;
    uint64_t fed = 0;
    std::string damage = CheckToEnd(
        reader.archive.get(),
        [&] {
          stream = OpenHeld(bytes, StreamOnly);
          return std::move(stream.archive);
        },
        [&](uint8_t* buffer, size_t length) -> std::optional<size_t> {
          const size_t n = static_cast<size_t>(std::min<uint64_t>(length, bytes.size() - fed));
          if (!bytes.Read(fed, buffer, n)) return std::nullopt;
          fed += n;
          return n;
        },
        budget.limits);
    if (!damage.empty()) ReportNotScanned(name, damage, seams);
  }
  return result;
}

// What a local entry that the central directory does not list is said to be.
constexpr char kNotListed[] =
    "not in the archive's central directory: most tools do not show it, but some extract it";

// One member that `a` has just read the header of: scanned when the filter
// takes its name, looked into when it is an archive. Stopped when the user
// quit. `note`: what is to be said of it besides (empty: nothing).
LookResult HandleMember(archive* a, archive_entry* entry, const InnerName& base, int depth,
                        Budget& budget, const Seams& seams, const std::string& note) {
  if (archive_entry_filetype(entry) != AE_IFREG) return LookResult::Scanned;
  const std::string inner = base.inner + MemberPath(entry);
  const std::string name = LastName(inner);
  const InnerName named{base.container, inner};
  // A member to be noted is told, and its record given the note as its
  // reason (or after it).
  std::optional<Seams> noted;
  if (!note.empty()) {
    seams.scan->Tell((named.Shown() + ": " + note).c_str(), "krizclean");
    noted.emplace(seams);
    noted->describe = [&seams, &note](const InnerName& which, const std::string& reason) {
      if (seams.describe) seams.describe(which, reason.empty() ? note : reason + "; " + note);
    };
  }
  const bool selected = IsSelected(name, seams);
  const bool nested = IsContainerName(name);
  if (!selected && !nested) return LookResult::Scanned;
  MemberSource bytes(a, entry, budget);
  if (selected && !HandleInner(named, bytes, Cleaner(), kReadOnly, noted ? *noted : seams)) {
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
    } else if (WalkNested(bytes.bytes(), {base.container, inner + "!"}, depth + 1, budget, seams) ==
               LookResult::Stopped) {
      return LookResult::Stopped;
    }
  }
  return LookResult::Scanned;
}

LookResult Walk(archive* a, const InnerName& base, int depth, Budget& budget, const Seams& seams,
                bool mustBeArchive, bool damageSaid) {
  uint64_t members = 0;
  bool any = false;
  for (;;) {
    archive_entry* entry = nullptr;
    int status = archive_read_next_header(a, &entry);
    if (status == ARCHIVE_EOF) break;
    if (status != ARCHIVE_OK && status != ARCHIVE_WARN) {
      if (!any && !mustBeArchive) return LookResult::NotContainer;
      const char* why = archive_error_string(a);
      if (!damageSaid) {
        ReportNotScanned(base, std::string("the archive is damaged: ") + (why ? why : "unreadable"),
                         seams);
      }
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
    if (HandleMember(a, entry, base, depth, budget, seams, "") == LookResult::Stopped) {
      return LookResult::Stopped;
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

// --- ZIP: the members its central directory lists, read by libarchive's
// reader of that directory, and besides them every local entry it does not
// list, each read on its own by libarchive's reader of local entries over
// its bytes alone, so that the reader never searches on through what
// follows (or through a hole of any size).

// An archive's bytes at any offset.
struct Bytes {
  uint64_t size = 0;
  ReadExactly read;
  // Where data lies at or after an offset (`size` when only a hole
  // follows); the offset itself where it is not known.
  std::function<uint64_t(uint64_t)> dataFrom = [](uint64_t offset) { return offset; };
};

// One local entry's bytes, as libarchive reads them.
struct Window {
  const Bytes& bytes;
  uint64_t at;
  uint64_t end;
  std::vector<uint8_t> buffer = std::vector<uint8_t>(kChunk);
};

la_ssize_t ReadWindow(archive* a, void* data, const void** out) {
  auto* window = static_cast<Window*>(data);
  // Past the last data of the file lie only zeros: nothing to read there.
  if (window->at >= window->end || window->bytes.dataFrom(window->at) >= window->bytes.size) {
    return 0;
  }
  const size_t length =
      static_cast<size_t>(std::min<uint64_t>(window->buffer.size(), window->end - window->at));
  if (!window->bytes.read(window->at, window->buffer.data(), length)) {
    archive_set_error(a, EIO, "it cannot be read");
    return -1;
  }
  window->at += length;
  *out = window->buffer.data();
  return static_cast<la_ssize_t>(length);
}

la_int64_t SkipWindow(archive*, void* data, la_int64_t request) {
  auto* window = static_cast<Window*>(data);
  if (request <= 0) return 0;
  const uint64_t skipped =
      std::min<uint64_t>(static_cast<uint64_t>(request), window->end - window->at);
  window->at += skipped;
  return static_cast<la_int64_t>(skipped);
}

// A local entry read on its own: `hidden` when the central directory does
// not list it.
LookResult ReadLocalEntry(const LocalEntry& local, const Bytes& bytes, const InnerName& base,
                          int depth, Budget& budget, const Seams& seams, bool hidden) {
  if (local.name.empty() || local.name.back() == '/') return LookResult::Scanned;
  Window window{bytes, local.offset, local.end};
  ArchivePtr a(archive_read_new());
  if (!a) throw std::bad_alloc();
  archive_read_support_format_zip_streamable(a.get());
  archive_read_set_read_callback(a.get(), ReadWindow);
  archive_read_set_skip_callback(a.get(), SkipWindow);
  archive_read_set_callback_data(a.get(), &window);
  archive_entry* entry = nullptr;
  if (archive_read_open1(a.get()) != ARCHIVE_OK ||
      archive_read_next_header(a.get(), &entry) < ARCHIVE_WARN) {
    const char* why = archive_error_string(a.get());
    std::string inner = local.name;
    while (inner.starts_with("./") || inner.starts_with("/"))
      inner.erase(0, inner[0] == '.' ? 2 : 1);
    ReportNotScanned({base.container, base.inner + "/" + inner},
                     std::string("it cannot be read: ") + (why != nullptr ? why : "damaged") +
                         (hidden ? std::string("; ") + kNotListed : std::string()),
                     seams);
    return LookResult::Scanned;
  }
  return HandleMember(a.get(), entry, base, depth, budget, seams, hidden ? kNotListed : "");
}

// The ZIP whose layout is `layout`: its listed members read through
// `listed` (null when no reader of its central directory could be opened:
// `listedError` says why), then each local entry it does not list.
LookResult WalkZip(const ZipLayout& layout, archive* listed, const std::string& listedError,
                   const Bytes& bytes, const InnerName& base, int depth, Budget& budget,
                   const Seams& seams) {
  bool damageSaid = false;
  if (!layout.damage.empty()) {
    ReportNotScanned(base, "the archive is damaged: " + layout.damage, seams);
    damageSaid = true;
  } else if (layout.hasDirectory && listed == nullptr) {
    ReportNotScanned(base, "the archive cannot be read: " + listedError, seams);
    damageSaid = true;
  }
  if (layout.hasDirectory && listed != nullptr) {
    LookResult result = Walk(listed, base, depth, budget, seams, true, damageSaid);
    if (result == LookResult::Stopped || !budget.exceeded.empty()) return result;
  }
  for (const LocalEntry& local : layout.unlisted) {
    if (ReadLocalEntry(local, bytes, base, depth, budget, seams, layout.hasDirectory) ==
        LookResult::Stopped) {
      return LookResult::Stopped;
    }
    if (!budget.exceeded.empty()) {
      ReportNotScanned(base, "the rest was not scanned: " + budget.exceeded, seams);
      break;
    }
  }
  return LookResult::Scanned;
}

void ZipListed(archive* a) { archive_read_support_format_zip_seekable(a); }

LookResult WalkZipBytes(const HeldBytes& held, const InnerName& name, int depth, Budget& budget,
                        const Seams& seams, bool& wasZip) {
  Bytes bytes{held.size(), [&held](uint64_t offset, uint8_t* out, size_t length) {
                return offset <= held.size() && length <= held.size() - offset &&
                       held.Read(offset, out, length);
              }};
  const ZipLayout layout = ReadZipLayout(bytes.read, bytes.size, budget.limits.members);
  wasZip = layout.isZip;
  if (!wasZip) return LookResult::NotContainer;
  HeldReader reader;
  if (layout.hasDirectory) reader = OpenHeld(held, ZipListed);
  return WalkZip(layout, reader.archive.get(), "its central directory cannot be read", bytes, name,
                 depth, budget, seams);
}

// The archive, whose members `a` has read, read on to the end of its
// compressed stream, where the stream's own check lies: damage there is
// reported. `open` opens a fresh reader of the same bytes; `feed` gives them
// from the start, in order.
template <typename Open, typename Feed>
void ReportDamageAtEnd(archive* a, const Open& open, const Feed& feed, const std::string& shown,
                       const Seams& seams) {
  std::string damage = CheckToEnd(
      a,
      [&] {
        ArchivePtr stream(archive_read_new());
        if (stream) StreamOnly(stream.get());
        if (stream && !open(stream.get())) stream.reset();
        return stream;
      },
      feed, seams.limits);
  if (!damage.empty()) ReportNotScanned({shown, ""}, damage, seams);
}

}  // namespace

LookResult ScanArchive(const std::string& path, const std::string& shown, const Seams& seams) {
  os::File file =
      os::File::Open(path, os::Access::Read, os::Share::ReadWrite, os::Disposition::OpenExisting);
  // A ZIP is told by its own records, read here with a few small reads:
  // one that is damaged or fake is given up before libarchive would search
  // through all of it for entries.
  if (file.IsOpen()) {
    Bytes bytes{file.Size().value_or(0),
                [&file](uint64_t offset, uint8_t* out, size_t length) {
                  while (length > 0) {
                    const uint32_t part = static_cast<uint32_t>(std::min<size_t>(length, 1u << 30));
                    std::optional<uint32_t> got = file.ReadAt(offset, out, part);
                    if (!got || *got != part) return false;
                    offset += part;
                    out += part;
                    length -= part;
                  }
                  return true;
                },
                [&file](uint64_t offset) { return file.DataFrom(offset); }};
    const ZipLayout layout = ReadZipLayout(bytes.read, bytes.size, seams.limits.members);
    if (layout.isZip) {
      Budget budget{seams.limits, bytes.size, 0, ""};
      ArchivePtr listed;
      std::string why = "it cannot be opened";
      if (layout.hasDirectory) {
        listed.reset(archive_read_new());
        if (!listed) throw std::bad_alloc();
        ZipListed(listed.get());
        if (archive_read_open_filename(listed.get(), path.c_str(), kChunk) != ARCHIVE_OK) {
          if (archive_error_string(listed.get()) != nullptr)
            why = archive_error_string(listed.get());
          listed.reset();
        }
      }
      return WalkZip(layout, listed.get(), why, bytes, {shown, ""}, 0, budget, seams);
    }
  }
  ArchivePtr a = NewReader();
  if (!a || archive_read_open_filename(a.get(), path.c_str(), kChunk) != ARCHIVE_OK) {
    return LookResult::NotContainer;
  }
  Budget budget{seams.limits, 0, 0, ""};
  budget.archiveSize = file.IsOpen() ? file.Size().value_or(0) : 0;
  LookResult result = Walk(a.get(), {shown, ""}, 0, budget, seams, false);
  if (result != LookResult::Scanned) return result;
  uint64_t fed = 0;
  ReportDamageAtEnd(
      a.get(),
      [&](archive* stream) {
        return archive_read_open_filename(stream, path.c_str(), kChunk) == ARCHIVE_OK;
      },
      [&](uint8_t* buffer, size_t length) -> std::optional<size_t> {
        std::optional<uint32_t> got =
            file.IsOpen() ? file.ReadAt(fed, buffer, static_cast<uint32_t>(length)) : std::nullopt;
        if (got) fed += *got;
        return got;
      },
      shown, seams);
  return result;
}

LookResult ScanArchiveBytes(std::span<const uint8_t> bytes, const std::string& shown,
                            const Seams& seams) {
  Bytes access{bytes.size(), [bytes](uint64_t offset, uint8_t* out, size_t length) {
                 if (offset > bytes.size() || length > bytes.size() - offset) return false;
                 std::copy_n(bytes.data() + offset, length, out);
                 return true;
               }};
  const ZipLayout layout = ReadZipLayout(access.read, access.size, seams.limits.members);
  if (layout.isZip) {
    Budget budget{seams.limits, bytes.size(), 0, ""};
    ArchivePtr listed;
    if (layout.hasDirectory) {
      listed.reset(archive_read_new());
      if (!listed) throw std::bad_alloc();
      ZipListed(listed.get());
      if (archive_read_open_memory(listed.get(), bytes.data(), bytes.size()) != ARCHIVE_OK) {
        listed.reset();
      }
    }
    return WalkZip(layout, listed.get(), "its central directory cannot be read", access,
                   {shown, ""}, 0, budget, seams);
  }
  ArchivePtr a = NewReader();
  if (!a || archive_read_open_memory(a.get(), bytes.data(), bytes.size()) != ARCHIVE_OK) {
    return LookResult::NotContainer;
  }
  Budget budget{seams.limits, bytes.size(), 0, ""};
  LookResult result = Walk(a.get(), {shown, ""}, 0, budget, seams, false);
  if (result != LookResult::Scanned) return result;
  size_t fed = 0;
  ReportDamageAtEnd(
      a.get(),
      [&](archive* stream) {
        return archive_read_open_memory(stream, bytes.data(), bytes.size()) == ARCHIVE_OK;
      },
      [&](uint8_t* buffer, size_t length) -> std::optional<size_t> {
        const size_t n = std::min(length, bytes.size() - fed);
        std::copy_n(bytes.data() + fed, n, buffer);
        fed += n;
        return n;
      },
      shown, seams);
  return result;
}

}  // namespace inside
