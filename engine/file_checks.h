// What is checked of a file before the first write to it, by every change
// that goes through a journal (a repair, a restore from a backup): said in
// words for a user.
#pragma once

#include <optional>
#include <string>

#include "os/directory.h"
#include "os/file.h"

namespace engine {

// Why the file `name` of `folder` could not be opened.
std::string WhyNotOpened(const os::Folder& folder, const std::string& name);

// Another user owns `folder` or can write to it: a second name of a file in
// it may be a hard link that user planted to a file of ours.
bool ControlledByOthers(const os::Folder& folder);

// Why the open `file` is not one to write, or empty when it is: another
// file than the one `expected`, one with other names in a folder that
// another user controls (a hard link planted there), or one another program
// has locked
// (else it is locked now, for as long as `file` stays open).
std::string WhyNotThisFile(const os::Folder& folder, os::File& file,
                           const std::optional<os::FileIdentity>& expected);

}  // namespace engine
