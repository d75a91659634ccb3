// Writes a folder of specimens for the tests that run whole programs, and
// beside it the bytes each file must hold once it is cleaned:
//   specimen_set shipped|kill|inside DIR
// makes DIR/drive/... (the files to clean) and DIR/expected/... (the same
// names, cleaned or untouched as they must end up).
//   shipped  the folder the shipped Windows program cleans as drive D:
//   kill     the folder the command-line cleaner is killed over, with a real
//            KERNEL32 (Wine's own 32-bit one, with all 16 hooked slots) when
//            the host has it
//   inside   the files put into disk images and archives: programs in
//            long-named folders, a KERNEL32 copy, clean files (the tests
//            mark READONLY.EXE read-only inside the image)
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/support/file_bytes.h"
#include "tests/support/specimens.h"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

constexpr char kWineKernel[] = "/usr/lib/i386-linux-gnu/wine/i386-windows/kernel32.dll";

class Set {
 public:
  explicit Set(const fs::path& root) : drive_(root / "drive"), expected_(root / "expected") {}

  void Infected(const std::string& name, const Bytes& clean) {
    specimen::Infection infection = test_support::InfectOrFail(clean);
    Put(drive_, name, infection.bytes);
    Put(expected_, name, test_support::ExpectedRepairedBytes(infection));
  }
  void Unchanged(const std::string& name, const Bytes& bytes) {
    Put(drive_, name, bytes);
    Put(expected_, name, bytes);
  }

 private:
  static void Put(const fs::path& root, const std::string& name, const Bytes& bytes) {
    fs::path path = root / name;
    fs::create_directories(path.parent_path());
    test_support::WriteBytes(path.string(), bytes);
  }
  fs::path drive_;
  fs::path expected_;
};

void Shipped(Set& set) {
  set.Infected("SETUP.EXE", test_support::SmallProgram(0x1234));
  set.Infected("games/old/play.exe", test_support::SmallProgram());
  set.Infected("windows/system/KERNEL32.DLL", test_support::KernelLibrary());
  set.Infected("windows/Krized.tt6", test_support::KernelLibrary());
  set.Unchanged("clean.exe", test_support::SmallProgram());
  specimen::InfectSpec nearMiss;
  nearMiss.nearMiss = specimen::NearMiss::SignatureOffByOne;
  set.Unchanged("near.exe",
                test_support::InfectOrFail(test_support::SmallProgram(), nearMiss).bytes);
  // Not a selected type: never opened.
  set.Unchanged("games/notes.dat", test_support::InfectOrFail(test_support::SmallProgram()).bytes);
}

void Kill(Set& set) {
  if (fs::exists(kWineKernel)) {
    set.Infected("windows/system/KERNEL32.DLL", test_support::ReadBytes(kWineKernel));
  }
  set.Infected("windows/Krized.tt6", test_support::KernelLibrary("KERNEL32.dll", 0x1234));
  set.Infected("locked.exe", test_support::SmallProgram());  // made read-only by the test
  set.Infected("zero.exe", test_support::SmallProgram());
  set.Infected("games/sum.exe", test_support::SmallProgram(0x4321));
  set.Unchanged("clean.exe", test_support::SmallProgram());
}

void Inside(Set& set) {
  if (fs::exists(kWineKernel)) {
    set.Infected("WINDOWS/SYSTEM/KERNEL32.DLL", test_support::ReadBytes(kWineKernel));
  } else {
    set.Infected("WINDOWS/SYSTEM/KERNEL32.DLL", test_support::KernelLibrary());
  }
  set.Infected("SETUP.EXE", test_support::SmallProgram(0x1234));
  set.Infected("READONLY.EXE", test_support::SmallProgram(0x2222));
  set.Infected("Program Files/Old Games/Space Pinball Deluxe.exe", test_support::SmallProgram());
  set.Infected("Program Files/Old Games/a very long folder name indeed/Setup Helper.exe",
               test_support::SmallProgram(0x4321));
  set.Unchanged("Program Files/Old Games/clean program.exe", test_support::SmallProgram());
  set.Unchanged("README.TXT", test_support::InfectOrFail(test_support::SmallProgram()).bytes);
}

}  // namespace

int main(int argc, char** argv) {
  const bool known =
      argc == 3 && (std::strcmp(argv[1], "shipped") == 0 || std::strcmp(argv[1], "kill") == 0 ||
                    std::strcmp(argv[1], "inside") == 0);
  if (!known) {
    std::fprintf(stderr, "usage: specimen_set shipped|kill|inside DIR\n");
    return 2;
  }
  Set set{fs::path(argv[2])};
  if (std::strcmp(argv[1], "shipped") == 0) {
    Shipped(set);
  } else if (std::strcmp(argv[1], "kill") == 0) {
    Kill(set);
  } else {
    Inside(set);
  }
  return ::testing::Test::HasFailure() ? 1 : 0;
}
