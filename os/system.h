// Facts about the running system and small services that differ by platform.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace os {

// The system directory (Win32: GetSystemDirectoryA). Empty where the platform
// has none, as on POSIX.
std::string SystemDirectory();

// The separator between the components of a path on this platform.
char PathSeparator();

// The user this process acts as (POSIX: the effective user id; Win32: 0,
// whose files have no owner that the program compares).
uint32_t CurrentUser();

// The superuser, whose files every user trusts (POSIX: 0).
inline constexpr uint32_t kSuperUser = 0;

void SleepMilliseconds(unsigned milliseconds);

// The longest prefix of text[0, length) of at most `limit` bytes that ends on
// a character boundary of the text's encoding (Win32: the ANSI code page,
// which may hold two-byte characters; POSIX: UTF-8).
size_t CharacterPrefix(const char* text, size_t length, size_t limit);

}  // namespace os
