// The file that --json FILE names: checked before the scan and written whole
// after it, so that neither a failed nor an interrupted run leaves half of
// it, and a file that holds anything but JSON is never replaced.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace cli {

class JsonFile {
 public:
  // Whether FILE can take the results: a name not yet taken, or a regular
  // file that is empty or holds JSON, in a folder where a new file can be
  // made; or a file that is no regular file (a pipe, a terminal, /dev/null),
  // written into as it is. A symbolic link stands for its target. nullopt,
  // with the reason in `error`, when it cannot.
  static std::optional<JsonFile> Prepare(const std::string& path, std::string& error);

  // Writes `text` whole: into a new file in FILE's folder, which then takes
  // FILE's name (and an existing FILE's permissions). False, with the reason
  // in `error` and FILE as it was, when that fails.
  bool Write(std::string_view text, std::string& error) const;

 private:
  std::string target_;
  bool replace_ = true;           // by renaming a new file onto it; false: written into as it is
  std::optional<unsigned> mode_;  // an existing file's permission bits
};

}  // namespace cli
