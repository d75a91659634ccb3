// SHA-256, for the manifest of kept backups: a hash by which a user can tell
// a kept file is the one that was there. Fed in pieces of any size.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace scan {

class Sha256 {
 public:
  Sha256();
  void Add(const uint8_t* bytes, size_t length);
  // The digest of everything added; the object is spent afterwards.
  std::array<uint8_t, 32> Finish();
  // The digest as 64 lower-case hexadecimal digits.
  std::string FinishHex();

 private:
  void Block(const uint8_t* block);

  std::array<uint32_t, 8> state_;
  std::array<uint8_t, 64> buffer_{};
  size_t buffered_ = 0;
  uint64_t length_ = 0;
};

}  // namespace scan
