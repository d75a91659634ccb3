// The two steps that run before any file is scanned: the memory check, which
// tests a bait copy of the cleaner for the virus and can repair the system
// and restart it, and the registry check.
#pragma once

#include <cstdint>
#include <string>

#include "scan/scan_state.h"

namespace repair {

// What the memory check found: whether the bait is infected, and a code.
struct BaitCheck {
  bool infected = false;
  // -1 the bait could not be made or read; 0 clean; 1 infected, the repair
  // declined; 4 infected, the system repaired and the restart asked for.
  int32_t code = 0;
};

// What the steps need beyond files: each front end (and each test) supplies
// them. A null member keeps the current one.
struct MemoryStepServices {
  std::string (*ownPath)() = nullptr;      // the cleaner's own program file
  bool (*confirmRepair)() = nullptr;       // the warning: true for Yes
  int32_t (*prompt)() = nullptr;           // the infection prompt for "memory"
  void (*finishScan)() = nullptr;          // installs the boot-time program, ends the run
  bool (*requestRestart)() = nullptr;      // restarts the system: false when refused
  void (*showRestartFailure)() = nullptr;  // tells the user to restart by hand
};
void SetMemoryStepServices(const MemoryStepServices& services);

// The texts of the warning and of a refused restart.
std::string MemoryWarningText();
inline constexpr char kMemoryWarningCaption[] = "Warning";
inline constexpr char kRestartFailureText[] =
    "This program cannot reboot Windows.\n\nPlease, reboot";

BaitCheck CheckMemoryWithBait();
// The outcome a repair of the memory stands for: "disinfect at reboot".
scan::ScanOutcome RepairMemory();
// Always 0: no registry infection is known.
int32_t CheckRegistry();

// 1 to go on with the scan, 0 when the user answered Quit for "memory".
int MemoryStep();
// Records "registry" as clean; 1.
int RegistryStep();

}  // namespace repair
