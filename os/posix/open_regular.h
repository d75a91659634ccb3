// The one way the POSIX layer opens a file by name: relative to a folder
// descriptor (or AT_FDCWD), never blocking, regular files only.
#pragma once

#include <sys/stat.h>

#include "os/file.h"

namespace os {

// What the system said of a file, as our code keeps it.
FileIdentity IdentityOf(const struct stat& info);

// openat(folder, name, flags) with O_NONBLOCK, O_CLOEXEC and O_NOCTTY added;
// -1 (errno set; EINVAL for what is no regular file) unless a regular file
// was opened, which is then left in blocking mode. `flags` may hold
// O_NOFOLLOW, O_CREAT and O_EXCL.
int OpenRegularAt(int folder, const char* name, int flags, unsigned mode);

}  // namespace os
