#include "repair/memory_step.h"

#include <optional>

#include "engine/pe_image.h"
#include "engine/virus_body.h"
#include "os/file.h"
#include "os/file_ops.h"
#include "os/process.h"
#include "os/system.h"
#include "scan/handle_object.h"
#include "scan/outcome.h"

namespace repair {
namespace {

constexpr char kBaitName[] = "TRAP1.EXE";
constexpr char kLibraryName[] = "\\KERNEL32.dll";
constexpr char kMemoryObject[] = "memory";
constexpr char kRegistryObject[] = "registry";

// The services with their defaults in place of empty members.
MemoryStepServices WithDefaults(MemoryStepServices s) {
  if (!s.ownPath) s.ownPath = os::ModulePath;
  if (!s.confirmRepair) s.confirmRepair = [] { return false; };
  if (!s.prompt) s.prompt = [] { return static_cast<int32_t>(scan::PromptChoice::Skip); };
  if (!s.finishScan) s.finishScan = [] {};
  if (!s.requestRestart) s.requestRestart = os::RequestRestart;
  if (!s.showRestartFailure) s.showRestartFailure = [] {};
  return s;
}

// `path` with its last component as the directory spells it.
std::string AsOnDisk(const std::string& path) { return os::NameOnDisk(path).value_or(path); }

// Cleans the system's KERNEL32 and the cleaner's own file as under "Clean",
// finishes the run and asks for the restart. Changes no file afterwards.
void RepairSystem(scan::Scan& scan, const MemoryStepServices& services) {
  scan::ScanState& state = scan.state();
  state.setActionMode(scan::ActionMode::Clean);

  std::string system = os::SystemDirectory();
  std::string library = AsOnDisk(system + kLibraryName);
  if (!system.empty() && scan::SetPath(state.objectPath, library) &&
      scan::SetPath(state.objectShortPath, library)) {
    scan::HandleObject(scan);
  }
  std::string own = AsOnDisk(services.ownPath());
  if (scan::SetPath(state.objectPath, own)) {
    if (!scan::SetPath(state.objectShortPath, os::ShortPath(own))) {
      scan::SetPath(state.objectShortPath, "");
    }
    scan::HandleObject(scan);
  }

  state.setActionMode(scan::ActionMode::ChangesBarred);
  state.setCloseWhenDone(1);
  services.finishScan();
  state.setMemoryInfected(1);
  if (!services.requestRestart()) services.showRestartFailure();
}

// The 256 bytes at the bait's entry point, or nullopt when they cannot be read.
std::optional<engine::EntryWindow> ReadBaitWindow(os::File& bait) {
  engine::PeImage view;
  if (!view.Open(bait)) return std::nullopt;
  engine::EntryWindow window{};
  if (!view.ReadAt(view.EntryPointFileOffset(), window.data(), engine::kEntryWindowSize)) {
    return std::nullopt;
  }
  return window;
}

void RecordMemory(scan::Scan& scan, scan::ScanOutcome outcome) {
  scan::RecordSystemOutcome(scan, scan::SystemObject::Memory, outcome);
}

}  // namespace

std::string MemoryWarningText() {
  return "The memory is infected. If you continue, you could infect all your files before "
         "disinfecting them. It is strongly reccomended to disinfect now only the memory, "
         "restart Windows and clean the rest of your files in the next step\n\nDo you wish to "
         "stop scanning the files and disinfect now only the memory? If you answer \"YES\", "
         "this program will restart your computer.";
}

BaitCheck CheckMemoryWithBait(scan::Scan& scan, const MemoryStepServices& given) {
  const MemoryStepServices services = WithDefaults(given);
  // Without a temporary folder the bait would land in whatever folder is
  // current: no bait then, and no check.
  std::string folder = os::TempDirectory();
  if (folder.empty()) return {false, -1};
  std::string bait = folder + kBaitName;
  os::CopyReplacing(services.ownPath(), bait);

  std::optional<engine::EntryWindow> window;
  {
    os::File file =
        os::File::Open(bait, os::Access::ReadWrite, os::Share::Read, os::Disposition::OpenExisting);
    if (file.IsOpen()) window = ReadBaitWindow(file);
  }
  os::RemoveFile(bait);
  if (!window) return {false, -1};
  if (!engine::FindVirusMarker(*window).Found()) return {false, 0};

  if (!services.confirmRepair()) return {true, 1};
  RepairSystem(scan, services);
  return {true, 4};
}

scan::ScanOutcome RepairMemory() { return scan::ScanOutcome::DisinfectAtReboot; }

int32_t CheckRegistry() { return 0; }

int MemoryStep(scan::Scan& scan, const MemoryStepServices& given) {
  const MemoryStepServices services = WithDefaults(given);
  scan::ScanState& state = scan.state();
  scan::SetPath(state.objectPath, kMemoryObject);
  BaitCheck check = CheckMemoryWithBait(scan, services);
  scan::SetPath(state.objectPath, kMemoryObject);  // the repair named other objects
  if (check.code == -1) {
    RecordMemory(scan, scan::ScanOutcome::CannotOpen);
    return 1;
  }
  if (!check.infected) {
    RecordMemory(scan, scan::ScanOutcome::Ok);
    return 1;
  }
  switch (state.actionMode()) {
    case scan::ActionMode::AskUser: {
      int32_t answer = services.prompt();
      if (answer == static_cast<int32_t>(scan::PromptChoice::Quit)) return 0;
      RecordMemory(scan, answer == static_cast<int32_t>(scan::PromptChoice::Disinfect)
                             ? RepairMemory()
                             : scan::ScanOutcome::Infected);
      return 1;
    }
    case scan::ActionMode::Clean:
      RecordMemory(scan, RepairMemory());
      return 1;
    case scan::ActionMode::ScanOnly:
      RecordMemory(scan, scan::ScanOutcome::Infected);
      return 1;
    default:
      RecordMemory(scan, scan::ScanOutcome::CannotDisinfect);
      return 1;
  }
}

int RegistryStep(scan::Scan& scan) {
  scan::SetPath(scan.state().objectPath, kRegistryObject);
  scan::RecordSystemOutcome(
      scan, scan::SystemObject::Registry,
      CheckRegistry() != 0 ? scan::ScanOutcome::Infected : scan::ScanOutcome::Ok);
  return 1;
}

}  // namespace repair
