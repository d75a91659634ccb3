// Hands a file to another user (uid 65534), as an attacker's file would be,
// for tests of what a run trusts.
#pragma once

#include <string>

namespace test_support {

// True once `path` belongs to uid 65534. False where this process cannot
// give files away: natively when not run as root; as a Windows program, on
// a system that is not Wine (which runs the host's chown for it).
bool GiveToAnotherUser(const std::string& path);

}  // namespace test_support
