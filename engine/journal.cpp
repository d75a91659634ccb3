#include "engine/journal.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "os/file.h"
#include "os/system.h"

namespace engine {
namespace {

constexpr std::array<uint8_t, 8> kMagic = {'K', 'R', 'I', 'Z', 'J', 'N', 'L', 2};
constexpr std::array<uint8_t, 8> kTrailer = {'K', 'R', 'I', 'Z', 'E', 'N', 'D', 2};
// The first format recorded no identity, so nothing proves such a journal
// ours.
constexpr std::array<uint8_t, 8> kFirstMagic = {'K', 'R', 'I', 'Z', 'J', 'N', 'L', 1};
// The copy's identity has a slot of its own after the magic, with its own
// check: it is written once the copy is made, after the rest of the journal,
// which the journal's check does not cover.
constexpr size_t kSlotAt = 8;
constexpr size_t kSlotSize = 32;  // device, inode, size, owner, check
// A journal is written only by us, for ourselves.
constexpr uint32_t kJournalMode = 0600;
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
  void Identity(const os::FileIdentity& identity) {
    U64(identity.device);
    U64(identity.inode);
    U64(identity.size);
    U64(static_cast<uint64_t>(identity.modified));
    U32(identity.owner);
    U32(identity.links);
    U32(identity.mode);
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
  os::FileIdentity Identity() {
    os::FileIdentity identity;
    identity.device = U64();
    identity.inode = U64();
    identity.size = U64();
    identity.modified = static_cast<int64_t>(U64());
    identity.owner = U32();
    identity.links = U32();
    identity.mode = U32();
    return identity;
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

// The journal's check: over all its bytes but the copy's slot.
uint32_t JournalCheck(const uint8_t* bytes, size_t length) {
  std::vector<uint8_t> copy(bytes, bytes + length);
  for (size_t i = kSlotAt; i < kSlotAt + kSlotSize && i < copy.size(); ++i) copy[i] = 0;
  return Crc32(copy.data(), copy.size());
}

std::array<uint8_t, kSlotSize> EncodeSlot(const os::FileIdentity& copy) {
  Writer w;
  w.U64(copy.device);
  w.U64(copy.inode);
  w.U64(copy.size);
  w.U32(copy.owner);
  w.U32(Crc32(w.bytes().data(), w.bytes().size()));
  std::array<uint8_t, kSlotSize> slot{};
  std::copy(w.bytes().begin(), w.bytes().end(), slot.begin());
  return slot;
}

// The copy's identity, when its slot holds one whole.
std::optional<os::FileIdentity> DecodeSlot(const uint8_t* slot) {
  Reader r(slot, kSlotSize);
  os::FileIdentity copy;
  copy.device = r.U64();
  copy.inode = r.U64();
  copy.size = r.U64();
  copy.owner = r.U32();
  if (r.U32() != Crc32(slot, kSlotSize - 4)) return std::nullopt;
  return copy;
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
  std::array<uint8_t, kSlotSize> slot{};
  if (journal.copyIdentity) slot = EncodeSlot(*journal.copyIdentity);
  w.Bytes(slot.data(), slot.size());
  w.U32(static_cast<uint32_t>(journal.kind));
  w.U32(journal.writer);
  w.Identity(journal.fileIdentity);
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
  w.U32(JournalCheck(w.bytes().data(), w.bytes().size()));
  w.Bytes(kTrailer.data(), kTrailer.size());
  return std::move(w.bytes());
}

std::optional<Journal> DecodeJournal(const std::vector<uint8_t>& bytes) {
  constexpr size_t kEnds = 4 + kTrailer.size();
  if (bytes.size() < kMagic.size() + kSlotSize + kEnds ||
      std::memcmp(bytes.data(), kMagic.data(), kMagic.size()) != 0 ||
      std::memcmp(bytes.data() + bytes.size() - kTrailer.size(), kTrailer.data(),
                  kTrailer.size()) != 0) {
    return std::nullopt;
  }
  const size_t body = bytes.size() - kEnds;
  Reader check(bytes.data() + body, 4);
  if (check.U32() != JournalCheck(bytes.data(), body)) return std::nullopt;

  Reader r(bytes.data() + kSlotAt + kSlotSize, body - kSlotAt - kSlotSize);
  Journal journal;
  journal.copyIdentity = DecodeSlot(bytes.data() + kSlotAt);
  uint32_t kind = r.U32();
  journal.writer = r.U32();
  journal.fileIdentity = r.Identity();
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
      // A cut took exactly the tail (a restore that lengthens the file has
      // none), and every region lies where both lengths hold bytes.
      if (journal.tail.size() !=
          (journal.newLength < journal.oldLength ? journal.oldLength - journal.newLength : 0)) {
        return std::nullopt;
      }
      for (const JournalRegion& region : journal.regions) {
        const uint64_t shorter = std::min(journal.oldLength, journal.newLength);
        if (region.offset > shorter || region.before.size() > shorter - region.offset) {
          return std::nullopt;
        }
      }
      return journal;
    case Journal::Kind::Copy:
      journal.kind = Journal::Kind::Copy;
      if (!IsPlainName(journal.copy)) return std::nullopt;
      return journal;
    case Journal::Kind::Guest:
      journal.kind = Journal::Kind::Guest;
      // The guest disk keeps its size; every region lies inside it.
      if (journal.oldLength != journal.newLength || !journal.tail.empty() || journal.attributes) {
        return std::nullopt;
      }
      for (const JournalRegion& region : journal.regions) {
        if (region.offset > journal.oldLength ||
            region.before.size() > journal.oldLength - region.offset) {
          return std::nullopt;
        }
      }
      return journal;
  }
  return std::nullopt;
}

bool WriteJournal(const os::Folder& folder, const std::string& name, Journal& journal,
                  os::WriteFaults* faults, os::File& held) {
  held.Close();
  journal.writer = os::CurrentUser();
  std::vector<uint8_t> bytes = EncodeJournal(journal);
  if (bytes.size() >= kMaxJournalSize) return false;
  os::File file = folder.MakeNewFile(name, kJournalMode, faults);
  if (!file.IsOpen()) return false;
  // Locked before it holds anything: another run that opens it meanwhile
  // sees a live repair.
  bool written =
      file.LockExclusive() != os::File::Lock::HeldElsewhere &&
      file.WriteAt(0, bytes.data(), static_cast<uint32_t>(bytes.size())) == bytes.size() &&
      file.Flush() && folder.Flush(faults);
  if (written) {
    held = std::move(file);
    return true;
  }
  if (faults == nullptr || !faults->stopped()) folder.Remove(name, faults);
  return false;
}

bool RecordCopyIdentity(os::File& held, const os::FileIdentity& copy, os::WriteFaults* /*faults*/) {
  const std::array<uint8_t, kSlotSize> slot = EncodeSlot(copy);
  return held.WriteAt(kSlotAt, slot.data(), kSlotSize) == kSlotSize && held.Flush();
}

JournalReading ReadJournal(const os::Folder& folder, const std::string& name, Journal& journal) {
  JournalReading reading;
  auto untrusted = [&reading](JournalRead what, std::string why) {
    reading.what = what;
    reading.why = std::move(why);
    reading.held.Close();
    return std::move(reading);
  };
  const os::EntryInfo entry = folder.Look(name);
  switch (entry.kind) {
    case os::EntryInfo::Kind::Missing:
      return untrusted(JournalRead::Missing, "");
    case os::EntryInfo::Kind::Link:
      return untrusted(JournalRead::Untrusted, "it is a symbolic link");
    case os::EntryInfo::Kind::Folder:
      return untrusted(JournalRead::Untrusted, "it is a folder");
    case os::EntryInfo::Kind::Other:
      return untrusted(JournalRead::Untrusted, "it is not a regular file");
    case os::EntryInfo::Kind::Unknown:
      return untrusted(JournalRead::Unreadable, "");
    case os::EntryInfo::Kind::File:
      break;
  }
  reading.held = folder.OpenFile(name, os::Access::Read, os::Share::ReadWrite);
  std::optional<os::FileIdentity> identity = reading.held.Identity();
  if (!identity) {
    return untrusted(folder.Look(name).kind == os::EntryInfo::Kind::Missing
                         ? JournalRead::Missing
                         : JournalRead::Unreadable,
                     "");
  }
  if (identity->owner != os::CurrentUser() && identity->owner != os::kSuperUser) {
    return untrusted(JournalRead::Untrusted, "it belongs to another user");
  }
  if (identity->links != 1) return untrusted(JournalRead::Untrusted, "it has more than one name");
  if (reading.held.LockExclusive() == os::File::Lock::HeldElsewhere) {
    return untrusted(JournalRead::Busy, "a cleaning that is running now holds it");
  }
  // Its run may have removed it (the commit) while this one waited for it.
  const os::EntryInfo now = folder.Look(name);
  if (now.kind != os::EntryInfo::Kind::File || !now.identity.SameFile(*identity)) {
    return untrusted(JournalRead::Missing, "");
  }
  if (identity->size > kMaxJournalSize) return untrusted(JournalRead::Untrusted, "it is too large");
  std::vector<uint8_t> bytes(static_cast<size_t>(identity->size));
  if (!bytes.empty() &&
      reading.held.ReadAt(0, bytes.data(), static_cast<uint32_t>(bytes.size())) != bytes.size()) {
    return untrusted(JournalRead::Unreadable, "");
  }
  if (bytes.size() >= kFirstMagic.size() &&
      std::equal(kFirstMagic.begin(), kFirstMagic.end(), bytes.begin())) {
    return untrusted(
        JournalRead::Untrusted,
        "it is of an older format that records no identity, so it cannot be proven ours");
  }
  std::optional<Journal> decoded = DecodeJournal(bytes);
  if (!decoded) {
    reading.what = JournalRead::Torn;
    return reading;
  }
  if (decoded->writer != identity->owner) {
    return untrusted(JournalRead::Untrusted, "it was not written by the user that owns it");
  }
  journal = std::move(*decoded);
  reading.what = JournalRead::Whole;
  return reading;
}

bool RemoveJournal(const os::Folder& folder, const std::string& name, os::File& held,
                   os::WriteFaults* faults) {
  return folder.RemoveHeld(name, held, faults) && folder.Flush(faults);
}

}  // namespace engine
