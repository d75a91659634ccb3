// The file that --json FILE names: checked before the scan and written whole
// after it, so that neither a failed nor an interrupted run leaves half of
// it, a file that holds anything but JSON is never replaced, and nothing
// another user placed there can turn the writing elsewhere.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "os/directory.h"

namespace cli {

class JsonFile {
 public:
  // Whether FILE can take the results: a name not yet taken, or a regular
  // file of ours (the running user's or the superuser's, that no one else
  // may write) that is empty or holds JSON, in a folder where a new file can
  // be made; or a file that is no regular file (a pipe, a terminal,
  // /dev/null), written into as it is. A symbolic link stands for its target
  // when it is ours; one that another user owns is refused. nullopt, with the
  // reason in `error`, when it cannot.
  static std::optional<JsonFile> Prepare(const std::string& path, std::string& error);

  // Writes `text` whole: into a new file of a random name in FILE's folder
  // (made with O_CREAT|O_EXCL|O_NOFOLLOW there), which then takes FILE's
  // name (and an existing FILE's permissions) by a rename within the folder
  // held open since Prepare. False, with the reason in `error` and FILE as it
  // was, when that fails.
  bool Write(std::string_view text, std::string& error) const;

 private:
  std::shared_ptr<const os::Folder> folder_;  // FILE's folder, held open
  std::string name_;                          // FILE's name in it
  bool replace_ = true;           // by renaming a new file onto it; false: written into as it is
  std::optional<unsigned> mode_;  // an existing file's permission bits
};

}  // namespace cli
