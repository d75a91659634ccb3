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
// was opened. `flags` may hold O_NOFOLLOW, O_CREAT and O_EXCL. What the one
// fstat that tells a regular file said goes to `opened`, when given.
int OpenRegularAt(int folder, const char* name, int flags, unsigned mode,
                  FileIdentity* opened = nullptr);

}  // namespace os
