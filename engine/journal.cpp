#include "engine/journal.h"

#include <array>
#include <cstring>

#include "os/file.h"

namespace engine {
namespace {

constexpr std::array<uint8_t, 8> kMagic = {'K', 'R', 'I', 'Z', 'J', 'N', 'L', 1};
constexpr std::array<uint8_t, 8> kTrailer = {'K', 'R', 'I', 'Z', 'E', 'N', 'D', 1};
// No journal of ours comes near this: a larger file is no journal.
constexpr uint64_t kMaxJournalSize = 1u << 24;

uint32_t Crc32(const uint8_t* bytes, size_t length) {
  uint32_t crc = 0xFFFFFFFFu;
  for (size_t i = 0; i < length; ++i) {
    crc ^= bytes[i];
    for (int bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
  }
  return ~crc;
}

class Writer {
 public:
  void U32(uint32_t value) {
    for (int i = 0; i < 4; ++i) bytes_.push_back(static_cast<uint8_t>(value >> (8 * i)));
  }
  void U64(uint64_t value) {
    for (int i = 0; i < 8; ++i) bytes_.push_back(static_cast<uint8_t>(value >> (8 * i)));
  }
  void Bytes(const uint8_t* data, size_t length) {
    bytes_.insert(bytes_.end(), data, data + length);
  }
  void Blob(const std::vector<uint8_t>& data) {
    U32(static_cast<uint32_t>(data.size()));
    Bytes(data.data(), data.size());
  }
  void Text(const std::string& text) {
    U32(static_cast<uint32_t>(text.size()));
    Bytes(reinterpret_cast<const uint8_t*>(text.data()), text.size());
  }
  std::vector<uint8_t>& bytes() { return bytes_; }

 private:
  std::vector<uint8_t> bytes_;
};

// Reads fields in order; once a read fails every later one fails too.
class Reader {
 public:
  Reader(const uint8_t* bytes, size_t length) : bytes_(bytes), length_(length) {}
  bool ok() const { return ok_; }
  bool AtEnd() const { return at_ == length_; }
  uint32_t U32() {
    uint32_t value = 0;
    if (Take(4)) {
      for (size_t i = 0; i < 4; ++i) value |= uint32_t{bytes_[at_ - 4 + i]} << (8 * i);
    }
    return value;
  }
  uint64_t U64() {
    uint64_t value = 0;
    if (Take(8)) {
      for (size_t i = 0; i < 8; ++i) value |= uint64_t{bytes_[at_ - 8 + i]} << (8 * i);
    }
    return value;
  }
  std::vector<uint8_t> Blob() {
    uint32_t length = U32();
    if (!Take(length)) return {};
    return std::vector<uint8_t>(bytes_ + at_ - length, bytes_ + at_);
  }
  std::string Text() {
    std::vector<uint8_t> blob = Blob();
    return std::string(blob.begin(), blob.end());
  }

 private:
  bool Take(uint64_t count) {
    if (!ok_ || count > length_ - at_) {
      ok_ = false;
      return false;
    }
    at_ += static_cast<size_t>(count);
    return true;
  }
  const uint8_t* bytes_;
  size_t length_;
  size_t at_ = 0;
  bool ok_ = true;
};

// A name that stays inside the journal's folder.
bool IsPlainName(const std::string& name) {
  return !name.empty() && name != "." && name != ".." &&
         name.find_first_of(std::string_view("/\\:\0", 4)) == std::string::npos;
}

}  // namespace

std::string JournalPathFor(const std::string& path) { return path + std::string(kJournalSuffix); }

std::string TargetOfJournal(const std::string& journalPath) {
  if (journalPath.size() <= kJournalSuffix.size() ||
      std::string_view(journalPath).substr(journalPath.size() - kJournalSuffix.size()) !=
          kJournalSuffix) {
    return std::string();
  }
  return journalPath.substr(0, journalPath.size() - kJournalSuffix.size());
}

std::vector<uint8_t> EncodeJournal(const Journal& journal) {
  Writer w;
  w.Bytes(kMagic.data(), kMagic.size());
  w.U32(static_cast<uint32_t>(journal.kind));
  w.Text(journal.file);
  w.Text(journal.copy);
  w.U32(journal.attributes ? 1u : 0u);
  w.U32(journal.attributes ? journal.attributes->bits : 0u);
  w.U64(journal.oldLength);
  w.U64(journal.newLength);
  w.U32(static_cast<uint32_t>(journal.regions.size()));
  for (const JournalRegion& region : journal.regions) {
    w.U64(region.offset);
    w.Blob(region.before);
    w.Blob(region.after);
  }
  w.Blob(journal.tail);
  w.U32(Crc32(w.bytes().data(), w.bytes().size()));
  w.Bytes(kTrailer.data(), kTrailer.size());
  return std::move(w.bytes());
}

std::optional<Journal> DecodeJournal(const std::vector<uint8_t>& bytes) {
  constexpr size_t kEnds = 4 + kTrailer.size();
  if (bytes.size() < kMagic.size() + kEnds ||
      std::memcmp(bytes.data(), kMagic.data(), kMagic.size()) != 0 ||
      std::memcmp(bytes.data() + bytes.size() - kTrailer.size(), kTrailer.data(),
                  kTrailer.size()) != 0) {
    return std::nullopt;
  }
  const size_t body = bytes.size() - kEnds;
  Reader check(bytes.data() + body, 4);
  if (check.U32() != Crc32(bytes.data(), body)) return std::nullopt;

  Reader r(bytes.data() + kMagic.size(), body - kMagic.size());
  Journal journal;
  uint32_t kind = r.U32();
  journal.file = r.Text();
  journal.copy = r.Text();
  uint32_t hasAttributes = r.U32();
  uint32_t attributes = r.U32();
  journal.oldLength = r.U64();
  journal.newLength = r.U64();
  uint32_t count = r.U32();
  for (uint32_t i = 0; i < count && r.ok(); ++i) {
    JournalRegion region;
    region.offset = r.U64();
    region.before = r.Blob();
    region.after = r.Blob();
    if (region.before.size() != region.after.size()) return std::nullopt;
    journal.regions.push_back(std::move(region));
  }
  journal.tail = r.Blob();
  if (!r.ok() || !r.AtEnd() || hasAttributes > 1 || !IsPlainName(journal.file)) {
    return std::nullopt;
  }
  if (hasAttributes == 1) journal.attributes = os::FileAttributes{attributes};
  switch (static_cast<Journal::Kind>(kind)) {
    case Journal::Kind::InPlace:
      journal.kind = Journal::Kind::InPlace;
      // The cut took exactly the tail, and every region lies before it.
      if (journal.newLength > journal.oldLength ||
          journal.tail.size() != journal.oldLength - journal.newLength) {
        return std::nullopt;
      }
      for (const JournalRegion& region : journal.regions) {
        if (region.offset > journal.newLength ||
            region.before.size() > journal.newLength - region.offset) {
          return std::nullopt;
        }
      }
      return journal;
    case Journal::Kind::Copy:
      journal.kind = Journal::Kind::Copy;
      if (!IsPlainName(journal.copy)) return std::nullopt;
      return journal;
  }
  return std::nullopt;
}

bool WriteJournal(const std::string& journalPath, const Journal& journal, os::WriteFaults* faults) {
  std::vector<uint8_t> bytes = EncodeJournal(journal);
  os::File file = os::File::Open(journalPath, os::Access::ReadWrite, os::Share::None,
                                 os::Disposition::CreateNew, faults);
  if (!file.IsOpen()) return false;
  bool written =
      bytes.size() < kMaxJournalSize &&
      file.WriteAt(0, bytes.data(), static_cast<uint32_t>(bytes.size())) == bytes.size() &&
      file.Flush();
  file.Close();
  if (written && os::FlushFolderOf(journalPath, faults)) return true;
  if (faults == nullptr || !faults->stopped()) os::RemoveFile(journalPath, faults);
  return false;
}

JournalRead ReadJournal(const std::string& journalPath, Journal& journal) {
  os::File file = os::File::Open(journalPath, os::Access::Read, os::Share::ReadWrite,
                                 os::Disposition::OpenExisting);
  if (!file.IsOpen()) {
    return os::ReadAttributes(journalPath) ? JournalRead::Unreadable : JournalRead::Missing;
  }
  std::optional<uint64_t> size = file.Size();
  if (!size) return JournalRead::Unreadable;
  if (*size > kMaxJournalSize) return JournalRead::Torn;
  std::vector<uint8_t> bytes(static_cast<size_t>(*size));
  if (!bytes.empty() &&
      file.ReadAt(0, bytes.data(), static_cast<uint32_t>(bytes.size())) != bytes.size()) {
    return JournalRead::Unreadable;
  }
  std::optional<Journal> decoded = DecodeJournal(bytes);
  if (!decoded) return JournalRead::Torn;
  journal = std::move(*decoded);
  return JournalRead::Whole;
}

bool RemoveJournal(const std::string& journalPath, os::WriteFaults* faults) {
  return os::RemoveFile(journalPath, faults) && os::FlushFolderOf(journalPath, faults);
}

}  // namespace engine
