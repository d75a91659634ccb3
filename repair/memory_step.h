// The two steps that run before any file is scanned: the memory check, which
// tests a bait copy of the cleaner for the virus and can repair the system
// and restart it, and the registry check.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "scan/scan.h"

namespace repair {

// What the memory check found: whether the bait is infected, and a code.
struct BaitCheck {
  bool infected = false;
  // -1 the bait could not be made or read; 0 clean; 1 infected, the repair
  // declined; 4 infected, the system repaired and the restart asked for.
  int32_t code = 0;
};

// What the steps need beyond files and the scan's own seams: each front end
// (and each test) supplies them. An empty member stands for the default named
// beside it.
struct MemoryStepServices {
  std::function<std::string()> ownPath;      // the cleaner's own program file (os::ModulePath)
  std::function<bool()> confirmRepair;       // the warning: true for Yes (No)
  std::function<int32_t()> prompt;           // the infection prompt for "memory" (Skip)
  std::function<void()> finishScan;          // installs the boot-time program, ends the run
  std::function<bool()> requestRestart;      // restarts the system: false when refused
  std::function<void()> showRestartFailure;  // tells the user to restart by hand
};

// The texts of the warning and of a refused restart.
std::string MemoryWarningText();
inline constexpr char kMemoryWarningCaption[] = "Warning";
inline constexpr char kRestartFailureText[] =
    "This program cannot reboot Windows.\n\nPlease, reboot";

BaitCheck CheckMemoryWithBait(scan::Scan& scan, const MemoryStepServices& services);
// The outcome a repair of the memory stands for: "disinfect at reboot".
scan::ScanOutcome RepairMemory();
// Always 0: no registry infection is known.
int32_t CheckRegistry();

// 1 to go on with the scan, 0 when the user answered Quit for "memory".
int MemoryStep(scan::Scan& scan, const MemoryStepServices& services);
// Records "registry" as clean; 1.
int RegistryStep(scan::Scan& scan);

}  // namespace repair
