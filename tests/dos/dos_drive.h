// Drive C: of the DOS that the boot-time program's tests run it under: a
// host folder standing for the drive, with DOS's file services on it and
// DOS's error codes for their failures. Names are DOS paths ("C:\DIR\A.EXE",
// "\A.EXE", "A.EXE") matched to the folder's entries without regard to the
// case of ASCII letters. The read-only attribute is the host file's owner
// write permission.
#pragma once

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace dos_test {

// DOS error codes that the services answer.
enum DosError : uint16_t {
  kFileNotFound = 2,
  kPathNotFound = 3,
  kAccessDenied = 5,
  kInvalidHandle = 6,
  kAlreadyExists = 183,
};

// A service's answer: no error, or the code DOS would put in AX with the
// carry flag set.
struct DosResult {
  std::optional<uint16_t> error;
  bool ok() const { return !error.has_value(); }
};

class DosDrive {
 public:
  // `root` stands for C:\. `currentDirectory` is C:'s current directory, a
  // path from the root such as "\" or "\WINDOWS"; C: is the default drive.
  DosDrive(std::filesystem::path root, const std::string& currentDirectory);

  // What a rename answers when its new name exists: 5 or 183, as systems
  // differ.
  void SetRenameOntoExistingError(uint16_t error) { renameOntoExisting_ = error; }

  DosResult ChangeDirectory(const std::string& name);                            // 3Bh
  DosResult Delete(const std::string& name);                                     // 41h, 7141h
  DosResult OpenForReading(const std::string& name, uint16_t* handle);           // 3D00h
  DosResult Read(uint16_t handle, uint32_t count, std::vector<uint8_t>* bytes);  // 3Fh
  // 4201h. A position before the start of the file is refused with
  // `*beforeStart` set: no DOS program that knows its file asks for one.
  DosResult MoveFromCurrent(uint16_t handle, int32_t offset, uint32_t* position, bool* beforeStart);
  DosResult Close(uint16_t handle);                                  // 3Eh
  DosResult Rename(const std::string& from, const std::string& to);  // 7156h
  DosResult ClearAttributes(const std::string& name);                // 7143h, attributes 0

  // C:'s current directory, "\" or "\DIR\SUB" with the entries' own names.
  std::string CurrentDirectory() const;

 private:
  // A name resolved to the host folder: the components from the root, each
  // under its entry's own name where the entry exists.
  struct Location {
    std::vector<std::string> components;
    std::filesystem::path host;
    bool exists = false;
    bool isDirectory = false;
  };
  struct OpenFile {
    std::vector<std::string> components;
    std::unique_ptr<std::ifstream> stream;
    uint32_t position = 0;
  };

  std::optional<Location> Resolve(const std::string& name, uint16_t* error) const;
  bool IsOpen(const std::vector<std::string>& components) const;
  bool HoldsCurrentDirectoryOrOpenFile(const std::vector<std::string>& directory) const;

  std::filesystem::path root_;
  std::vector<std::string> current_;
  std::map<uint16_t, OpenFile> open_;
  uint16_t nextHandle_ = 5;  // 0 to 4 are the standard devices
  uint16_t renameOntoExisting_ = kAlreadyExists;
};

}  // namespace dos_test
