// A small DOS for running a program of the COM kind in tests: the program is
// loaded the way DOS loads one (a program segment prefix, an environment, all
// segment registers on its one segment, IP 100h, SP at the top) and run on
// the Unicorn CPU emulator, with INT 21h answered from a sandbox drive C:.
//
// Only the services the boot-time rename program may use are there: 3Bh,
// 41h, 3D00h, 3Fh, 4201h, 3Eh, 4Ch, 7156h, 7143h (set attributes to 0) and
// 7141h (no wildcards, no attribute masks). Anything else ends the run with
// a fault: another interrupt or service, a read or write outside the
// program's segment and its environment, a write into the program's own
// image, code run outside it, or more instructions than the run allows.
#pragma once

#include <cstdint>
#include <filesystem>
#include <span>
#include <string>
#include <vector>

namespace dos_test {

// One INT 21h call, as the program made it.
struct DosCall {
  uint16_t ax = 0;
  std::string name;     // DS:DX, for the services that take a name
  std::string newName;  // ES:DI, for the rename
  uint16_t error = 0;   // 0 when the service succeeded
};

struct DosSetup {
  std::filesystem::path driveC;         // the folder that stands for C:\ ...
  std::string currentDirectory = "\\";  // ... and C:'s current directory at start
  // The environment block as DOS builds it for the program; see
  // EnvironmentBlock.
  std::vector<uint8_t> environment;
  uint16_t renameOntoExistingError = 183;
  uint64_t instructionLimit = 2'000'000;
};

struct DosRun {
  bool ended = false;  // by INT 21h 4Ch
  uint8_t exitCode = 0;
  uint64_t instructions = 0;
  std::string fault;  // what the program did that it must not; empty when nothing
  std::vector<DosCall> calls;
};

// The environment DOS gives a program: each variable zero-ended, one more
// zero, the count word 1, and the program's full path, zero-ended. There is
// always a variable at least (COMSPEC, PATH): the block's end is the first
// double zero.
std::vector<uint8_t> EnvironmentBlock(const std::vector<std::string>& variables,
                                      const std::string& programPath);

DosRun RunComProgram(std::span<const uint8_t> image, const DosSetup& setup);

}  // namespace dos_test
