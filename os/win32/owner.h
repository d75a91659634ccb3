// Who owns files on NT, as the 32-bit values that FileIdentity::owner and
// CurrentUser() hold, so that the rules above os/ compare owners on Windows
// as they compare user ids on POSIX: kSuperUser for the administrators, the
// system, and a file that has no owner to tell (Windows 9x, FAT); a tag of
// the owner's security identifier (SID) for everyone else.
#pragma once

#include <cstddef>
#include <cstdint>

namespace os::win32 {

// A file whose owner NT would not tell, although the system keeps owners: no
// user is it, so nothing trusts it.
inline constexpr uint32_t kUnknownOwner = 0xFFFFFFFFu;

// The owner value of a SID given as its bytes (revision, count, authority,
// sub-authorities): kSuperUser for BUILTIN\Administrators, LocalSystem and
// Everyone (the owner NT reports for a file on a file system that keeps
// none); kUnknownOwner for bytes that are no SID; the SID's tag otherwise,
// which is neither of those two.
uint32_t OwnerOfSid(const uint8_t* sid, size_t length);

// The owner of the open file `handle` (a HANDLE), read through the security
// calls of advapi32.dll, looked up when needed: kSuperUser where there are
// none or they are not implemented (Windows 9x), or where the file system
// keeps no owners.
uint32_t OwnerOfOpenFile(void* handle);

// The running user: kSuperUser when the files it makes belong to the
// administrators or the system (its token's default owner), or where the
// calls are missing or fail; the tag of its user SID otherwise.
uint32_t RunningUser();

}  // namespace os::win32
