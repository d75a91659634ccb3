// Operations on files by name: attributes, copying, deleting, short names.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "os/file.h"
#include "os/write_faults.h"

namespace os {

std::optional<FileAttributes> ReadAttributes(const std::string& path);
bool WriteAttributes(const std::string& path, FileAttributes attributes,
                     WriteFaults* faults = nullptr);
// Win32: the read-only attribute. POSIX: no write permission for the owner.
bool IsReadOnly(FileAttributes attributes);
// The same attributes without the read-only mark (POSIX: owner may write).
FileAttributes WithoutReadOnly(FileAttributes attributes);

// Copies `from` to `to`, refusing when `to` exists; a failed copy leaves no
// file at `to` (but where `faults` stopped the machine during it).
bool CopyNew(const std::string& from, const std::string& to, WriteFaults* faults = nullptr);
bool RemoveFile(const std::string& path, WriteFaults* faults = nullptr);

// Appends `bytes` to the file at `path`, made when missing, and puts them on
// the disk. Appends made at once by several threads never overwrite each
// other (POSIX: one write to a file opened for appending; the Windows
// program appends from one thread only).
bool AppendToFile(const std::string& path, const std::string& bytes, WriteFaults* faults = nullptr);

// Puts the folder that holds `path` on the disk as it now is, so that a file
// made or removed there stays made or removed after a crash (POSIX: the
// folder's own fsync; Win32 keeps no such state apart from its files).
bool FlushFolderOf(const std::string& path, WriteFaults* faults = nullptr);

// Win32: the path by short (8.3) names, empty on failure. POSIX: the path
// itself.
std::string ShortPath(const std::string& path);

}  // namespace os
