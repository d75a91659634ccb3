#include "cli/prefix_reader.h"

#include <fcntl.h>
#include <liburing.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace cli {

struct PrefixReader::Ring {
  io_uring ring{};
  ~Ring() { io_uring_queue_exit(&ring); }
};

namespace {

// The three steps of one file, linked: open into a slot of the ring's own
// file table, read, close the slot. A failed open cancels the rest; the
// close follows the read whatever the read's result, so no slot stays open.
constexpr unsigned kStepsPerFile = 3;
constexpr uint64_t kStepBits = 2;

uint64_t Tag(size_t file, unsigned step) { return (uint64_t(file) << kStepBits) | step; }

}  // namespace

std::unique_ptr<PrefixReader> PrefixReader::Make() {
  auto ring = std::make_unique<Ring>();
  if (io_uring_queue_init(kDepth * kStepsPerFile, &ring->ring, 0) != 0) return nullptr;
  if (io_uring_register_files_sparse(&ring->ring, kDepth) != 0) return nullptr;
  return std::unique_ptr<PrefixReader>(new PrefixReader(std::move(ring)));
}

PrefixReader::PrefixReader(std::unique_ptr<Ring> ring) : ring_(std::move(ring)) {}
PrefixReader::~PrefixReader() = default;

bool PrefixReader::Read(std::span<const NamedFile> files, std::span<Prefix> prefixes) {
  if (broken_) return false;
  io_uring* ring = &ring_->ring;
  const size_t count = std::min<size_t>({files.size(), prefixes.size(), kDepth});
  size_t queued = 0;
  for (size_t i = 0; i < count; ++i) {
    prefixes[i].got = -ECANCELED;
    const intptr_t folder = files[i].folder->NativeHandle();
    io_uring_sqe* open = io_uring_get_sqe(ring);
    io_uring_sqe* read = io_uring_get_sqe(ring);
    io_uring_sqe* close = io_uring_get_sqe(ring);
    if (open == nullptr || read == nullptr || close == nullptr) break;  // cannot happen: sized so
    const unsigned slot = static_cast<unsigned>(i);
    // O_NONBLOCK: a file that became a pipe since it was listed must not
    // hold the kernel's worker forever.
    io_uring_prep_openat_direct(open, static_cast<int>(folder), files[i].name->c_str(),
                                O_RDONLY | O_NOCTTY | O_NONBLOCK | O_NOFOLLOW, 0, slot);
    open->flags |= IOSQE_IO_LINK;
    io_uring_sqe_set_data64(open, Tag(i, 0));
    io_uring_prep_read(read, static_cast<int>(slot), prefixes[i].bytes.data(), Prefix::kBytes, 0);
    read->flags |= IOSQE_FIXED_FILE | IOSQE_IO_HARDLINK;
    io_uring_sqe_set_data64(read, Tag(i, 1));
    io_uring_prep_close_direct(close, slot);
    io_uring_sqe_set_data64(close, Tag(i, 2));
    ++queued;
  }
  if (queued == 0) return true;
  const unsigned steps = static_cast<unsigned>(queued * kStepsPerFile);
  int submitted;
  do {
    submitted = io_uring_submit_and_wait(ring, steps);
  } while (submitted == -EINTR);
  // Only what was submitted completes: a ring that took less is given up,
  // once what it took has completed (the kernel writes into the prefixes
  // until then).
  const unsigned expected = submitted > 0 ? static_cast<unsigned>(submitted) : 0;
  if (expected != steps) broken_ = true;
  unsigned seen = 0;
  while (seen < expected) {
    io_uring_cqe* cqe = nullptr;
    int waited;
    do {
      waited = io_uring_wait_cqe(ring, &cqe);
    } while (waited == -EINTR);
    if (waited != 0) {
      broken_ = true;
      break;
    }
    const uint64_t tag = io_uring_cqe_get_data64(cqe);
    const size_t file = static_cast<size_t>(tag >> kStepBits);
    const unsigned step = static_cast<unsigned>(tag & ((1u << kStepBits) - 1));
    if (file < queued) {
      if (step == 0 && cqe->res < 0) prefixes[file].got = cqe->res;
      if (step == 1 && prefixes[file].got == -ECANCELED) prefixes[file].got = cqe->res;
    }
    io_uring_cqe_seen(ring, cqe);
    ++seen;
  }
  return !broken_;
}

os::File* PrefixedFile::Opened() {
  if (!opened_) opened_ = file_.folder->OpenToRead(*file_.name);
  return opened_->IsOpen() ? &*opened_ : nullptr;
}

std::optional<uint32_t> PrefixedFile::ReadAt(uint64_t offset, void* buffer, uint32_t length) {
  const uint64_t got = static_cast<uint64_t>(std::max(prefix_.got, 0));
  if (offset <= got && (length <= got - offset || WholeFile())) {
    const uint32_t n = static_cast<uint32_t>(std::min<uint64_t>(length, got - offset));
    std::memcpy(buffer, prefix_.bytes.data() + offset, n);
    return n;
  }
  if (WholeFile() && offset > got) return 0;
  os::File* file = Opened();
  if (file == nullptr) return std::nullopt;
  return file->ReadAt(offset, buffer, length);
}

std::optional<uint64_t> PrefixedFile::Size() {
  if (WholeFile()) return static_cast<uint64_t>(prefix_.got);
  os::File* file = Opened();
  if (file == nullptr) return std::nullopt;
  return file->Size();
}

}  // namespace cli
