// The layout of a ZIP archive as its own records give it: the end of its
// central directory, the entries listed there, and the local entries met by
// walking from the first one to the next by their sizes, each checked
// against the other. A local entry that the central directory does not list
// is one that most tools never show but that some extract: it is found here
// so that it is scanned too. Read with a few small reads (the archive's
// start and end, its central directory, each local header), never a
// member's data and never a byte past what the records name, so that a
// damaged or fake archive is given up at once.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace inside {

// Reads exactly `length` bytes at `offset`; false when they cannot be read.
using ReadExactly = std::function<bool(uint64_t offset, uint8_t* out, size_t length)>;

// A local entry that is to be read on its own: one that the central
// directory does not list, or any, where there is no central directory.
struct LocalEntry {
  uint64_t offset = 0;  // of its local header
  uint64_t end = 0;     // where its bytes end at the latest
  std::string name;     // as its local header gives it
};

struct ZipLayout {
  // The bytes begin as a ZIP does, or end with its end record.
  bool isZip = false;
  // The central directory was read whole and checked.
  bool hasDirectory = false;
  // What is wrong with the records, in words for a user; empty when sound.
  std::string damage;
  // Local entries to read on their own, in the order they lie.
  std::vector<LocalEntry> unlisted;
};

// The layout of the `size` bytes that `read` gives; at most `maxEntries`
// entries are looked at (the rest are a limit's business).
ZipLayout ReadZipLayout(const ReadExactly& read, uint64_t size, uint64_t maxEntries);

}  // namespace inside
