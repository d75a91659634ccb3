#include "os/system.h"

#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "os/image_checksum.h"

namespace os {

std::string SystemDirectory() { return std::string(); }

char PathSeparator() { return '/'; }

uint32_t CurrentUser() { return static_cast<uint32_t>(::geteuid()); }

std::string WhyNotOpened() {
  const int error = errno;
  switch (error) {
    case EACCES:
    case EPERM:
      return "permission denied";
    case EMFILE:
    case ENFILE:
      return "out of file handles";
    case ENOENT:
      return "removed during the scan";
    case 0:
      return "cannot be opened";
    default:
      return std::strerror(error);
  }
}

void SleepMilliseconds(unsigned milliseconds) {
  struct timespec wait {};
  wait.tv_sec = static_cast<time_t>(milliseconds / 1000);
  wait.tv_nsec = static_cast<long>(milliseconds % 1000) * 1000000L;
  while (nanosleep(&wait, &wait) != 0 && errno == EINTR) {
  }
}

size_t CharacterPrefix(const char* text, size_t length, size_t limit) {
  if (length <= limit) return length;
  // Step back over UTF-8 continuation bytes (10xxxxxx) so that the byte at
  // the cut starts a character.
  size_t cut = limit;
  while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
  return cut;
}

PlatformChecksum MapFileAndCheckSum(const std::string&, const std::string&) {
  PlatformChecksum result;
  result.status = PlatformChecksum::Status::Unavailable;
  return result;
}

}  // namespace os
