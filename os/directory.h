// Directory listing and the process's current directory.
#pragma once

#include <memory>
#include <string>

namespace os {

struct DirectoryEntry {
  std::string longName;
  // The alternate 8.3 name; empty when the long name is itself a valid 8.3
  // name, and always empty on POSIX.
  std::string shortName;
  bool isDirectory = false;
  // A regular file. An entry that is neither (a device, a pipe, a symbolic
  // link on POSIX, which is never followed) is listed with both false.
  bool isFile = false;
};

// Lists the current directory with the pattern "*.*", in the order the
// platform returns the entries ("." and ".." included where it lists them).
class DirectoryListing {
 public:
  // An unopened listing when the directory cannot be listed.
  static DirectoryListing OpenCurrent();
  ~DirectoryListing();
  DirectoryListing(DirectoryListing&& other) noexcept;
  DirectoryListing& operator=(DirectoryListing&& other) noexcept;
  DirectoryListing(const DirectoryListing&) = delete;
  DirectoryListing& operator=(const DirectoryListing&) = delete;

  bool IsOpen() const { return state_ != nullptr; }
  // The next entry, or false when there is none left.
  bool Next(DirectoryEntry& entry);

 private:
  struct State;
  DirectoryListing() = default;
  std::unique_ptr<State> state_;
};

bool ChangeDirectory(const std::string& path);
// The current directory's full path; empty when it cannot be read.
std::string WorkingDirectory();

}  // namespace os
