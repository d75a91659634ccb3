#include "tests/dos/boot_sandbox.h"

#include <fstream>
#include <iterator>

#include "repair/boot/boot_program.h"

namespace dos_test {
namespace {

namespace fs = std::filesystem;

// The variables Windows 9x gives the programs it starts, more or less.
const std::vector<std::string> kVariables = {
    "TMP=C:\\WINDOWS\\TEMP",
    "TEMP=C:\\WINDOWS\\TEMP",
    "PROMPT=$p$g",
    "winbootdir=C:\\WINDOWS",
    "COMSPEC=C:\\WINDOWS\\COMMAND.COM",
    "PATH=C:\\WINDOWS;C:\\WINDOWS\\COMMAND",
    "windir=C:\\WINDOWS",
};

}  // namespace

BootSandbox::BootSandbox(std::string programPath) : programPath_(std::move(programPath)) {
  fs::create_directory(dir_.path() / "C");
  setup_.driveC = dir_.path() / "C";
  setup_.environment = EnvironmentBlock(kVariables, programPath_);
  std::span<const uint8_t> image = repair::BootRenameProgramImage();
  Put(programPath_, std::string(image.begin(), image.end()));
}

fs::path BootSandbox::Host(std::string_view dosPath) const {
  if (dosPath.size() >= 2 && dosPath[1] == ':') dosPath.remove_prefix(2);
  fs::path host = setup_.driveC;
  while (!dosPath.empty()) {
    size_t end = dosPath.find('\\');
    if (end != 0) host /= std::string(dosPath.substr(0, end));
    if (end == std::string_view::npos) break;
    dosPath.remove_prefix(end + 1);
  }
  return host;
}

void BootSandbox::Put(std::string_view dosPath, std::string_view contents, bool readOnly) {
  fs::path host = Host(dosPath);
  fs::create_directories(host.parent_path());
  {
    std::ofstream out(host, std::ios::binary | std::ios::trunc);
    out.write(contents.data(), static_cast<std::streamsize>(contents.size()));
  }
  if (readOnly) {
    fs::permissions(host, fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                    fs::perm_options::remove);
  }
}

void BootSandbox::MakeDirectory(std::string_view dosPath) { fs::create_directories(Host(dosPath)); }

std::optional<std::string> BootSandbox::Contents(std::string_view dosPath) const {
  fs::path host = Host(dosPath);
  std::error_code error;
  if (!fs::is_regular_file(host, error)) return std::nullopt;
  std::ifstream in(host, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool BootSandbox::IsReadOnly(std::string_view dosPath) const {
  return (fs::status(Host(dosPath)).permissions() & fs::perms::owner_write) == fs::perms::none;
}

std::string BootSandbox::ListPath() const {
  return programPath_.substr(0, programPath_.rfind('\\') + 1) + "WININI32.INI";
}

DosRun BootSandbox::Run() { return RunComProgram(repair::BootRenameProgramImage(), setup_); }

}  // namespace dos_test
