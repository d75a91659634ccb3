// A stand-in for a disk that fails, for tests: every operation that changes a
// file or folder and is made through it is counted, and the chosen one fails
// the way a disk fails. The code that changes files takes one as a seam (none
// in real use), so that each of its writes can be made to fail in turn, in
// the native build and in the Windows builds alike.
#pragma once

#include <cstdint>

namespace os {

class WriteFaults {
 public:
  enum class Mode {
    IoError,   // the chosen operation fails, nothing of it done; later ones succeed
    DiskFull,  // the chosen write puts half its bytes, then every write fails:
               // no room is left (cuts, flushes, renames and deletions still succeed)
    Stop,      // the chosen operation puts half its bytes, then nothing more reaches
               // the disk: the machine stopped or the program was killed there
  };

  // `failAt` counts from 1; 0 fails nothing.
  WriteFaults(Mode mode, uint64_t failAt) : mode_(mode), failAt_(failAt) {}

  // How an operation may go ahead.
  enum class Verdict {
    Go,    // wholly
    Half,  // only its first half (a write); then it reports failure
    Fail,  // not at all; it reports failure
  };
  // Counts one write of data (or an operation that takes room, such as
  // creating a file) and says how it may go.
  Verdict OnWrite();
  // Counts one operation that takes no room: a cut, a flush, a rename, a
  // deletion, a change of attributes.
  Verdict OnChange();

  uint64_t count() const { return count_; }
  // The machine stopped: nothing made through this reaches the disk any more,
  // not even the cleaning up after a failure.
  bool stopped() const { return mode_ == Mode::Stop && triggered(); }
  bool triggered() const { return count_ >= failAt_ && failAt_ != 0; }

 private:
  Verdict Next(bool takesRoom);

  Mode mode_;
  uint64_t failAt_;
  uint64_t count_ = 0;
};

// The verdict for an operation made through `faults`, or Go without one.
inline WriteFaults::Verdict OnWrite(WriteFaults* faults) {
  return faults != nullptr ? faults->OnWrite() : WriteFaults::Verdict::Go;
}
inline WriteFaults::Verdict OnChange(WriteFaults* faults) {
  return faults != nullptr ? faults->OnChange() : WriteFaults::Verdict::Go;
}

}  // namespace os
