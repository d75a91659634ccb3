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

// The user this process acts as (POSIX: the effective user id; Win32: a tag
// of the user's SID on NT, or kSuperUser for an administrator, whose files
// the administrators own, and on 9x, which keeps no owners).
uint32_t CurrentUser();

// The superuser, whose files every user trusts (POSIX: root, 0; Win32: the
// administrators, the system, and files that have no owner to tell).
inline constexpr uint32_t kSuperUser = 0;

void SleepMilliseconds(unsigned milliseconds);

// Why the last call that opened, listed or entered a file or folder on this
// thread failed, in words for a user: "permission denied", "out of file
// handles" (the process or the system has no more to give), "removed
// during the scan", else the system's own words. Read at once after the
// call, before any other.
std::string WhyNotOpened();

// The longest prefix of text[0, length) of at most `limit` bytes that ends on
// a character boundary of the text's encoding (Win32: the ANSI code page,
// which may hold two-byte characters; POSIX: UTF-8).
size_t CharacterPrefix(const char* text, size_t length, size_t limit);

}  // namespace os
