#include "os/win32/owner.h"

#include <windows.h>

#include <array>
#include <vector>

#include "os/system.h"

namespace os::win32 {
namespace {

static_assert(kSuperUser == 0, "owner tags keep clear of the superuser's value");

// SIDs whose files count as the superuser's, as bytes.
constexpr std::array<uint8_t, 12> kLocalSystem = {1, 1, 0, 0, 0, 0, 0, 5, 18, 0, 0, 0};
constexpr std::array<uint8_t, 16> kAdministrators = {1,  2, 0, 0, 0,    0,    0, 5,
                                                     32, 0, 0, 0, 0x20, 0x02, 0, 0};
constexpr std::array<uint8_t, 12> kEveryone = {1, 1, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0};

template <size_t N>
bool Is(const uint8_t* sid, size_t length, const std::array<uint8_t, N>& known) {
  if (length != N) return false;
  for (size_t i = 0; i < N; ++i) {
    if (sid[i] != known[i]) return false;
  }
  return true;
}

// Why a tag of 32 bits is enough: a run trusts a file owned by the tag of its
// own user, so another user gets in only when their SID's tag equals it.
// Nobody chooses their SID: NT makes it from the machine's or the domain's
// random identifier and a relative id handed out in turn, and only an
// administrator makes accounts at all. With the bytes well mixed (FNV-1a
// over all of them, then MurmurHash3's finalizer), one account in a machine
// of N shares the running user's tag with a chance of about N in 2^32, that
// no attacker can raise. A key would not help: a tag is written into
// journals and must be the same in the next run, so it is a plain function
// of the SID.
uint32_t Tag(const uint8_t* sid, size_t length) {
  uint64_t hash = 0xCBF29CE484222325ull;
  for (size_t i = 0; i < length; ++i) {
    hash ^= sid[i];
    hash *= 0x100000001B3ull;
  }
  uint32_t mixed = static_cast<uint32_t>(hash ^ (hash >> 32));
  mixed ^= mixed >> 16;
  mixed *= 0x85EBCA6Bu;
  mixed ^= mixed >> 13;
  mixed *= 0xC2B2AE35u;
  mixed ^= mixed >> 16;
  // Never kSuperUser (0), never kUnknownOwner.
  return mixed % (kUnknownOwner - 1) + 1;
}

// The security calls of advapi32.dll, looked up at run time: Windows 9x has
// the library but not all of them, or has them answer "not implemented".
class SecurityCalls {
 public:
  using GetKernelObjectSecurityFn = BOOL(WINAPI*)(HANDLE, SECURITY_INFORMATION,
                                                  PSECURITY_DESCRIPTOR, DWORD, LPDWORD);
  using GetSecurityDescriptorOwnerFn = BOOL(WINAPI*)(PSECURITY_DESCRIPTOR, PSID*, LPBOOL);
  using IsValidSidFn = BOOL(WINAPI*)(PSID);
  using GetLengthSidFn = DWORD(WINAPI*)(PSID);
  using OpenProcessTokenFn = BOOL(WINAPI*)(HANDLE, DWORD, PHANDLE);
  using GetTokenInformationFn = BOOL(WINAPI*)(HANDLE, TOKEN_INFORMATION_CLASS, LPVOID, DWORD,
                                              PDWORD);

  SecurityCalls() : library_(LoadLibraryA("advapi32.dll")) {
    if (library_ == nullptr) return;
    objectSecurity = Find<GetKernelObjectSecurityFn>("GetKernelObjectSecurity");
    descriptorOwner = Find<GetSecurityDescriptorOwnerFn>("GetSecurityDescriptorOwner");
    isValidSid = Find<IsValidSidFn>("IsValidSid");
    lengthSid = Find<GetLengthSidFn>("GetLengthSid");
    openProcessToken = Find<OpenProcessTokenFn>("OpenProcessToken");
    tokenInformation = Find<GetTokenInformationFn>("GetTokenInformation");
  }
  ~SecurityCalls() {
    if (library_ != nullptr) FreeLibrary(library_);
  }
  SecurityCalls(const SecurityCalls&) = delete;
  SecurityCalls& operator=(const SecurityCalls&) = delete;

  // The owner value of a SID the system gave.
  uint32_t OwnerOf(PSID sid) const {
    if (sid == nullptr) return kSuperUser;  // no owner kept
    if (isValidSid == nullptr || lengthSid == nullptr || !isValidSid(sid)) return kUnknownOwner;
    return OwnerOfSid(static_cast<const uint8_t*>(sid), lengthSid(sid));
  }

  GetKernelObjectSecurityFn objectSecurity = nullptr;
  GetSecurityDescriptorOwnerFn descriptorOwner = nullptr;
  IsValidSidFn isValidSid = nullptr;
  GetLengthSidFn lengthSid = nullptr;
  OpenProcessTokenFn openProcessToken = nullptr;
  GetTokenInformationFn tokenInformation = nullptr;

 private:
  template <typename Fn>
  Fn Find(const char* name) const {
    return reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(library_, name)));
  }

  HMODULE library_;
};

// The answers of a system or file system that keeps no owners.
bool KeepsNoOwners(DWORD error) {
  return error == ERROR_CALL_NOT_IMPLEMENTED || error == ERROR_NOT_SUPPORTED ||
         error == ERROR_INVALID_FUNCTION;
}

// What the token says of `what`, in a buffer aligned for the structures it
// holds; empty when it does not say.
std::vector<DWORD> TokenPart(const SecurityCalls& calls, HANDLE token,
                             TOKEN_INFORMATION_CLASS what) {
  std::vector<DWORD> buffer(64);
  DWORD needed = 0;
  for (int attempt = 0; attempt < 2; ++attempt) {
    const DWORD size = static_cast<DWORD>(buffer.size() * sizeof(DWORD));
    if (calls.tokenInformation(token, what, buffer.data(), size, &needed)) return buffer;
    if (GetLastError() != ERROR_INSUFFICIENT_BUFFER || needed <= size || needed > 0x10000) break;
    buffer.assign(needed / sizeof(DWORD) + 1, 0);
  }
  return {};
}

}  // namespace

uint32_t OwnerOfSid(const uint8_t* sid, size_t length) {
  // Revision 1, at most 15 sub-authorities, and exactly as long as they say.
  if (sid == nullptr || length < 8 || sid[0] != 1 || sid[1] > 15 ||
      length != 8 + size_t{sid[1]} * 4) {
    return kUnknownOwner;
  }
  if (Is(sid, length, kLocalSystem) || Is(sid, length, kAdministrators) ||
      Is(sid, length, kEveryone)) {
    return kSuperUser;
  }
  return Tag(sid, length);
}

uint32_t OwnerOfOpenFile(void* handle) {
  const SecurityCalls calls;
  if (calls.objectSecurity == nullptr || calls.descriptorOwner == nullptr) return kSuperUser;
  // An owner alone takes a descriptor's header and one SID: well under this.
  std::vector<DWORD> descriptor(64);
  DWORD needed = 0;
  for (int attempt = 0;; ++attempt) {
    const DWORD size = static_cast<DWORD>(descriptor.size() * sizeof(DWORD));
    if (calls.objectSecurity(static_cast<HANDLE>(handle), OWNER_SECURITY_INFORMATION,
                             descriptor.data(), size, &needed)) {
      break;
    }
    const DWORD error = GetLastError();
    if (KeepsNoOwners(error)) return kSuperUser;
    if (attempt > 0 || error != ERROR_INSUFFICIENT_BUFFER || needed <= size || needed > 0x10000) {
      return kUnknownOwner;
    }
    descriptor.assign(needed / sizeof(DWORD) + 1, 0);
  }
  PSID owner = nullptr;
  BOOL defaulted = FALSE;
  if (!calls.descriptorOwner(descriptor.data(), &owner, &defaulted)) return kUnknownOwner;
  return calls.OwnerOf(owner);
}

uint32_t RunningUser() {
  const SecurityCalls calls;
  if (calls.openProcessToken == nullptr || calls.tokenInformation == nullptr) return kSuperUser;
  HANDLE token = nullptr;
  if (!calls.openProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return kSuperUser;
  const std::vector<DWORD> user = TokenPart(calls, token, TokenUser);
  const std::vector<DWORD> owner = TokenPart(calls, token, TokenOwner);
  CloseHandle(token);
  if (user.empty() || owner.empty()) return kSuperUser;
  // What NT makes an administrator's files is the administrators' (the
  // token's default owner): such a run is the superuser, as root is on POSIX,
  // and the journals it writes are the administrators'. Anyone else's files
  // are their own (Wine names a group as the default owner, but shows the
  // files a run makes as its user's).
  if (calls.OwnerOf(reinterpret_cast<const TOKEN_OWNER*>(owner.data())->Owner) == kSuperUser) {
    return kSuperUser;
  }
  const uint32_t self = calls.OwnerOf(reinterpret_cast<const TOKEN_USER*>(user.data())->User.Sid);
  return self == kUnknownOwner ? kSuperUser : self;
}

}  // namespace os::win32
