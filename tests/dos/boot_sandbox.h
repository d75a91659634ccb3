// Drive C: with the boot-time rename program installed, for running the real
// assembled image under the test DOS: its file in the Windows directory (or
// wherever the test puts it), the list beside it, and the environment that
// names it.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "tests/dos/dos_machine.h"
#include "tests/support/temp_dir.h"

namespace dos_test {

class BootSandbox {
 public:
  // `programPath` is the program's full DOS path, as its environment gives it.
  explicit BootSandbox(std::string programPath = "C:\\WINDOWS\\PUI.COM");

  // The host path of a DOS path on C: ("C:\DIR\A.EXE"), spelt as given.
  std::filesystem::path Host(std::string_view dosPath) const;
  void Put(std::string_view dosPath, std::string_view contents, bool readOnly = false);
  void MakeDirectory(std::string_view dosPath);
  // The file's contents; nullopt when there is no such file.
  std::optional<std::string> Contents(std::string_view dosPath) const;
  bool IsReadOnly(std::string_view dosPath) const;

  // WININI32.INI beside the program.
  std::string ListPath() const;
  void PutList(std::string_view text) { Put(ListPath(), text); }

  const std::string& programPath() const { return programPath_; }
  DosSetup& setup() { return setup_; }
  DosRun Run();

 private:
  test_support::TempDir dir_;
  std::string programPath_;
  DosSetup setup_;
};

}  // namespace dos_test
