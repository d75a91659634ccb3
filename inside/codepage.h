// The OEM code pages that DOS wrote short names in: bytes past ASCII mean a
// different letter in each (0x9A is Ü in 437 and 850, Ś in 852, Ъ in 866).
// Short names are decoded by one of them and shown in UTF-8.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace inside {

class Codepage {
 public:
  // 437, 850, 852 or 866; nullopt for any other number.
  static std::optional<Codepage> Numbered(int number);
  // 437, the code page of DOS as it was shipped in most places.
  static Codepage Default();
  // The numbers Numbered knows, as "437, 850, ...".
  static std::string Supported();

  int number() const { return number_; }
  // `byte` as UTF-8 at the end of `out`; a control byte becomes U+FFFD.
  void AppendDecoded(std::string& out, uint8_t byte) const;

 private:
  Codepage(int number, const char16_t* high) : number_(number), high_(high) {}
  int number_;
  const char16_t* high_;  // bytes 0x80 to 0xFF
};

// The code point `code` as UTF-8 at the end of `out`.
void AppendUtf8(std::string& out, uint32_t code);

}  // namespace inside
