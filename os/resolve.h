// Paths turned into open folders part by part, from a held handle, so that
// no part of a path that another user controls can send us elsewhere: the
// one way our code reaches a path it was given, read from a file, or makes.
//
// POSIX: each part is opened relative to the folder before it with
// O_NOFOLLOW|O_DIRECTORY. A symbolic link is followed only where the rules
// allow it and only when root or the running user owns it and it sits in a
// folder that no one else can change (owned by root or the running user,
// and writable by no one else, or sticky); the kernel's protected_symlinks
// and a privileged resolver's "safe" mode draw the same line. Win32 (9x has
// neither owners nor links) resolves as the system does.
#pragma once

#include <string>

#include "os/directory.h"

namespace os {

struct PathRules {
  // A place we write into (a backup folder, a report): every folder on the
  // way is also owned by root or the running user and writable by no one
  // else (a sticky folder, where no one removes or renames another's
  // entries, is allowed).
  bool forWriting = false;
  // Symbolic links followed where they are safe (see above); with false, a
  // link in any part of the path refuses it.
  bool followLinks = true;
  // ".." allowed as a part; a path read from a file has none.
  bool allowDotDot = true;
};

struct ResolvedFolder {
  Folder folder;        // unopened when refused or missing
  std::string refusal;  // why, in words for a user; empty when opened
};

// The folder at `path` (relative paths from the current directory). When
// refused, errno holds the system's error behind it (0 for a rule).
ResolvedFolder ResolveFolder(const std::string& path, const PathRules& rules);

struct ResolvedParent {
  Folder folder;        // the folder that holds the path's last part
  std::string name;     // that part's name in it
  std::string refusal;  // why not, when the folder is unopened
};

// The folder holding `path`'s last part, and its name there. With
// `followLast`, a symbolic link at the last part is followed by the same
// rules, so that the name is the real file's.
ResolvedParent ResolveParent(const std::string& path, const PathRules& rules, bool followLast);

}  // namespace os
