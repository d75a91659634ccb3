#include "os/write_faults.h"

namespace os {

WriteFaults::Verdict WriteFaults::OnWrite() { return Next(true); }

WriteFaults::Verdict WriteFaults::OnChange() { return Next(false); }

WriteFaults::Verdict WriteFaults::Next(bool takesRoom) {
  ++count_;
  if (failAt_ == 0 || count_ < failAt_) return Verdict::Go;
  bool chosen = count_ == failAt_;
  switch (mode_) {
    case Mode::IoError:
      return chosen ? Verdict::Fail : Verdict::Go;
    case Mode::DiskFull:
      if (!takesRoom) return Verdict::Go;
      return chosen ? Verdict::Half : Verdict::Fail;
    case Mode::Stop:
      return chosen && takesRoom ? Verdict::Half : Verdict::Fail;
  }
  return Verdict::Fail;
}

}  // namespace os
