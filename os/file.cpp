// What both platforms' files share: the faults of a test disk, taken before
// each platform call that changes the file.
#include "os/file.h"

namespace os {

File::~File() { Close(); }

File::File(File&& other) noexcept
    : handle_(other.handle_),
      faults_(other.faults_),
      path_(std::move(other.path_)),
      opened_(other.opened_) {
  other.handle_ = kNone;
  other.opened_.reset();
}

File& File::operator=(File&& other) noexcept {
  if (this != &other) {
    Close();
    handle_ = other.handle_;
    faults_ = other.faults_;
    path_ = std::move(other.path_);
    opened_ = other.opened_;
    other.handle_ = kNone;
    other.opened_.reset();
  }
  return *this;
}

std::optional<FileIdentity> File::IdentityWhenOpened() const {
  if (!IsOpen()) return std::nullopt;
  return opened_ ? opened_ : Identity();
}

std::optional<uint32_t> File::WriteAt(uint64_t offset, const void* buffer, uint32_t length) {
  if (!IsOpen()) return std::nullopt;
  switch (OnWrite(faults_)) {
    case WriteFaults::Verdict::Go:
      return WriteAtNow(offset, buffer, length);
    case WriteFaults::Verdict::Half:
      WriteAtNow(offset, buffer, length / 2);
      return std::nullopt;
    case WriteFaults::Verdict::Fail:
      return std::nullopt;
  }
  return std::nullopt;
}

bool File::SetEnd(uint64_t offset) {
  return IsOpen() && OnChange(faults_) == WriteFaults::Verdict::Go && SetEndNow(offset);
}

bool File::SetAttributes(FileAttributes attributes, WriteFaults* faults) {
  return IsOpen() && OnChange(faults) == WriteFaults::Verdict::Go && SetAttributesNow(attributes);
}

bool File::Flush() {
  return IsOpen() && OnChange(faults_) == WriteFaults::Verdict::Go && FlushNow();
}

}  // namespace os
