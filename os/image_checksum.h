// The platform's own PE image checksum service, where it has one.
#pragma once

#include <cstdint>
#include <string>

namespace os {

struct PlatformChecksum {
  enum class Status {
    Done,         // both sums are set
    Failed,       // the library, its entry or the computation failed
    Unavailable,  // this platform has no such service (POSIX)
  };
  Status status = Status::Failed;
  uint32_t headerSum = 0;  // the CheckSum field the file holds
  uint32_t trueSum = 0;    // the checksum of the file as it is now
};

// Loads the library at `libraryPath` (Win32: IMAGEHLP.DLL by full path), calls
// its MapFileAndCheckSumA on `fileName`, and unloads it again at once.
PlatformChecksum MapFileAndCheckSum(const std::string& libraryPath, const std::string& fileName);

}  // namespace os
