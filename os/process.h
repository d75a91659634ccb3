// What the running program knows of itself and asks of the system: its own
// file, the temporary folder, and a restart.
#pragma once

#include <optional>
#include <string>

namespace os {

// The program's own file (Win32: GetModuleFileNameA); empty on failure.
std::string ModulePath();

// The temporary folder, ending in its separator (Win32: GetTempPathA); empty
// on failure.
std::string TempDirectory();

// Copies `from` over `to`, replacing a file there (Win32: CopyFileA with
// overwriting allowed).
bool CopyReplacing(const std::string& from, const std::string& to);

// `path` with its last component spelt as the directory holds it (Win32:
// FindFirstFileA's name); nullopt when the file is not found.
std::optional<std::string> NameOnDisk(const std::string& path);

// Asks the system to restart (Win32: ExitWindowsEx(EWX_REBOOT)). False when
// refused, and always on POSIX.
bool RequestRestart();

}  // namespace os
