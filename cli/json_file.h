// The file that --json FILE names: checked before the scan and written whole
// after it, so that neither a failed nor an interrupted run leaves half of
// it, a file that holds anything but JSON is never replaced, and nothing
// another user placed there can turn the writing elsewhere. The files of
// --json-lines (written record by record as the scan goes) and --log
// (appended to) are checked and made by the same rules.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "os/directory.h"

namespace cli {

class JsonFile {
 public:
  // What the file is for.
  enum class Use {
    Replace,  // --json: written whole at the end, in place of what it held
    Stream,   // --json-lines: replaced at once, then written as the scan goes
    Append,   // --log: appended to; what it holds is kept, whatever it is
  };

  // A file written piece by piece (Use::Stream), each piece handed to the
  // system at once so that a reader of the file sees it.
  class Stream {
   public:
    Stream() = default;
    Stream(Stream&& other) noexcept;
    Stream& operator=(Stream&& other) noexcept;
    Stream(const Stream&) = delete;
    Stream& operator=(const Stream&) = delete;
    ~Stream();
    // False, with the reason in `error`, when it cannot be written.
    bool Write(std::string_view text, std::string& error);
    // Puts it on the disk and closes it; false when that fails.
    bool Close(std::string& error);

   private:
    friend class JsonFile;
    os::File file_;
    uint64_t offset_ = 0;
    int fd_ = -1;  // a file that is no regular file, written into as it is
  };

  // Whether FILE can take the results: a name not yet taken, or a regular
  // file of ours (the running user's or the superuser's, that no one else
  // may write) that is empty or holds JSON, in a folder where a new file can
  // be made; or a file that is no regular file (a pipe, a terminal,
  // /dev/null), written into as it is. A symbolic link stands for its target
  // when it is ours; one that another user owns is refused. nullopt, with the
  // reason in `error`, when it cannot.
  // For Use::Append, a regular file of ours is appended to whatever it holds.
  static std::optional<JsonFile> Prepare(const std::string& path, std::string& error,
                                         Use use = Use::Replace);

  // Writes `text` whole: into a new file of a random name in FILE's folder
  // (made with O_CREAT|O_EXCL|O_NOFOLLOW there), which then takes FILE's
  // name (and an existing FILE's permissions) by a rename within the folder
  // held open since Prepare. False, with the reason in `error` and FILE as it
  // was, when that fails.
  // (Use::Append: `text` is appended to FILE, made for its owner alone when
  // missing.)
  bool Write(std::string_view text, std::string& error) const;

  // Use::Stream: FILE replaced at once by a new, empty file made as Write
  // makes one, to be written as the scan goes; nullopt, with the reason in
  // `error`, when it cannot be.
  std::optional<Stream> OpenStream(std::string& error) const;

 private:
  std::shared_ptr<const os::Folder> folder_;  // FILE's folder, held open
  std::string name_;                          // FILE's name in it
  bool replace_ = true;           // by renaming a new file onto it; false: written into as it is
  std::optional<unsigned> mode_;  // an existing file's permission bits
  Use use_ = Use::Replace;
};

}  // namespace cli
