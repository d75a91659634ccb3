#include "repair/boot_installer.h"

#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "os/file.h"
#include "os/file_ops.h"
#include "os/registry.h"
#include "os/restart.h"
#include "repair/boot/boot_program.h"
#include "scan/scan.h"

namespace repair {
namespace {

int Fail(const scan::Scan& scan) {
  scan.Tell(kBootProgramFailureText, kBootProgramFailureCaption);
  return 0;
}

// Writes the image as the whole new file. A file that did not receive every
// byte is deleted: a cut program must never be started at the next boot.
bool WriteProgramFile(const std::string& path, std::span<const uint8_t> image) {
  os::File file =
      os::File::Open(path, os::Access::ReadWrite, os::Share::Read, os::Disposition::CreateAlways);
  if (!file.IsOpen()) return false;
  std::optional<uint32_t> put = file.WriteAt(0, image.data(), static_cast<uint32_t>(image.size()));
  file.Close();
  if (put && *put == image.size()) return true;
  os::RemoveFile(path);
  return false;
}

}  // namespace

int InstallBootRenameProgram(scan::Scan& scan) {
  if (scan.state().bootRenameNeeded() == 0) return 1;
  // Without a Windows directory there is nowhere the system would start the
  // program from: a failure, never a program written elsewhere.
  std::string directory = os::WindowsDirectory();
  if (directory.empty()) return Fail(scan);
  if (directory.back() != '\\') directory += '\\';
  std::string path = directory + kBootProgramFileName;
  if (!WriteProgramFile(path, BootRenameProgramImage())) return Fail(scan);
  if (!os::SetMachineStringValue(kRunServicesOnceKey, kBootProgramValueName, path))
    return Fail(scan);
  return 1;
}

}  // namespace repair
