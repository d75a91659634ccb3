// Writes the folder of specimens that the shipped Windows program cleans in
// its own test (tests/shipped_program_test.sh), and beside it the bytes each
// file must hold afterwards:
//   shipped_specimens DIR
// makes DIR/drive/... (the folder the program is given as drive D:) and
// DIR/expected/... (the same names, cleaned or untouched as they must end).
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/support/file_bytes.h"
#include "tests/support/specimens.h"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

void Put(const fs::path& root, const std::string& name, const Bytes& bytes) {
  fs::path path = root / name;
  fs::create_directories(path.parent_path());
  test_support::WriteBytes(path.string(), bytes);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: shipped_specimens DIR\n");
    return 2;
  }
  const fs::path drive = fs::path(argv[1]) / "drive";
  const fs::path expected = fs::path(argv[1]) / "expected";

  auto infected = [&](const std::string& name, const Bytes& clean) {
    specimen::Infection infection = test_support::InfectOrFail(clean);
    Put(drive, name, infection.bytes);
    Put(expected, name, test_support::ExpectedRepairedBytes(infection));
  };
  auto unchanged = [&](const std::string& name, const Bytes& bytes) {
    Put(drive, name, bytes);
    Put(expected, name, bytes);
  };

  infected("SETUP.EXE", test_support::SmallProgram(0x1234));
  infected("games/old/play.exe", test_support::SmallProgram());
  infected("windows/system/KERNEL32.DLL", test_support::KernelLibrary());
  infected("windows/Krized.tt6", test_support::KernelLibrary());
  unchanged("clean.exe", test_support::SmallProgram());
  specimen::InfectSpec nearMiss;
  nearMiss.nearMiss = specimen::NearMiss::SignatureOffByOne;
  unchanged("near.exe", test_support::InfectOrFail(test_support::SmallProgram(), nearMiss).bytes);
  // Not a selected type: never opened.
  unchanged("games/notes.dat", test_support::InfectOrFail(test_support::SmallProgram()).bytes);
  return ::testing::Test::HasFailure() ? 1 : 0;
}
