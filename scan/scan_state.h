// The record of one scan (held by its scan::Scan): the user's choices, the
// flags that hand the scan between the window's thread and the worker, the
// status ring, the path buffers of the object under work, and the outcome
// counters.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

namespace scan {

// The result of handling one object.
enum class ScanOutcome : int32_t {
  CannotDelete = -3,
  CannotDisinfect = -2,
  CannotOpen = -1,
  Ok = 0,
  Infected = 1,
  Disinfected = 2,
  Deleted = 3,
  DisinfectAtReboot = 4,
  DeleteAtReboot = 5,
  // Infected, but gone when it was to be cleaned (removed while the user was
  // asked about it): nothing is left to clean, and nothing failed.
  Gone = 6,
};

// What to do with an infected object. The values double as the infection
// prompt's answers Disinfect (102), Skip (103) and Quit (104).
enum class ActionMode : int32_t {
  AskUser = 100,
  Clean = 102,
  ScanOnly = 103,
  ChangesBarred = 104,  // after the memory self-repair: no object is changed any more
};

inline constexpr size_t kPathBufferSize = 260;  // 259 characters and the terminator
inline constexpr size_t kMaxPathLength = kPathBufferSize - 1;
inline constexpr int32_t kRingSlots = 10;

// One slot of the status ring. `head` is the line's first character and the
// slot's ready flag: 0 means empty. The producer stores it last (release), the
// consumer reads it first (acquire) and clears it after copying the rest.
struct StatusSlot {
  std::atomic<char> head{0};
  char tail[kPathBufferSize - 1] = {};
};
static_assert(sizeof(StatusSlot) == kPathBufferSize);

using PathBuffer = char[kPathBufferSize];

class ScanState {
 public:
  // Scalar fields: plain getters and setters, with acquire loads and release
  // stores so that each hand-over flag publishes the writes made before it.
  ActionMode actionMode() const { return static_cast<ActionMode>(Get(actionMode_)); }
  void setActionMode(ActionMode mode) { Set(actionMode_, static_cast<int32_t>(mode)); }
  int32_t showAllFiles() const { return Get(showAllFiles_); }
  void setShowAllFiles(int32_t v) { Set(showAllFiles_, v); }
  int32_t selectedTypesOnly() const { return Get(selectedTypesOnly_); }
  void setSelectedTypesOnly(int32_t v) { Set(selectedTypesOnly_, v); }
  int32_t scanAllDrives() const { return Get(scanAllDrives_); }
  void setScanAllDrives(int32_t v) { Set(scanAllDrives_, v); }
  int32_t closeWhenDone() const { return Get(closeWhenDone_); }
  void setCloseWhenDone(int32_t v) { Set(closeWhenDone_, v); }

  int32_t scanRunning() const { return Get(scanRunning_); }
  void setScanRunning(int32_t v) { Set(scanRunning_, v); }
  int32_t rootDone() const { return Get(rootDone_); }
  void setRootDone(int32_t v) { Set(rootDone_, v); }
  int32_t scanAborted() const { return Get(scanAborted_); }
  void setScanAborted(int32_t v) { Set(scanAborted_, v); }
  int32_t stopRequested() const { return Get(stopRequested_); }
  void setStopRequested(int32_t v) { Set(stopRequested_, v); }

  char driveLetter() const { return driveLetter_.load(std::memory_order_acquire); }
  void setDriveLetter(char v) { driveLetter_.store(v, std::memory_order_release); }
  int32_t rootIndex() const { return Get(rootIndex_); }
  void setRootIndex(int32_t v) { Set(rootIndex_, v); }

  int32_t ringWriteIndex() const { return Get(ringWriteIndex_); }
  void setRingWriteIndex(int32_t v) { Set(ringWriteIndex_, v); }
  int32_t ringReadIndex() const { return Get(ringReadIndex_); }
  void setRingReadIndex(int32_t v) { Set(ringReadIndex_, v); }
  int32_t ringRetryCount() const { return Get(ringRetryCount_); }
  void setRingRetryCount(int32_t v) { Set(ringRetryCount_, v); }

  int32_t memoryInfected() const { return Get(memoryInfected_); }
  void setMemoryInfected(int32_t v) { Set(memoryInfected_, v); }
  int32_t bootRenameNeeded() const { return Get(bootRenameNeeded_); }
  void setBootRenameNeeded(int32_t v) { Set(bootRenameNeeded_, v); }

  // Clears the counters and the outcomes of the checks of the system.
  void ResetCounters();
  void ResetStatusRing();

  // Path buffers, reached directly by the code that owns their use.
  PathBuffer rootPath = {};
  PathBuffer dirPath = {};
  PathBuffer objectPath = {};
  PathBuffer objectShortPath = {};

  StatusSlot statusRing[kRingSlots];

  // Outcome counters, written only by the thread that handles objects.
  int32_t cleanCount = 0;
  int32_t leftInfectedCount = 0;
  int32_t disinfectedCount = 0;
  int32_t deletedCount = 0;
  int32_t disinfectAtRebootCount = 0;
  int32_t deleteAtRebootCount = 0;
  int32_t notDisinfectedCount = 0;
  int32_t accessDeniedCount = 0;
  int32_t goneCount = 0;
  // Folders that the walk could not list or enter; each is also counted in
  // accessDeniedCount, so that the report counts it whatever its form.
  int32_t unopenedFolderCount = 0;
  // Files and folders that the walk left out, as asked (ScanSeams::walk) or
  // because they are the scan's own backups; none of them is counted above.
  int32_t excludedFileCount = 0;
  int32_t excludedFolderCount = 0;
  // What the checks of the running system before the walk found: kept apart
  // from the counters, which count files; empty until the check has run.
  std::optional<ScanOutcome> memoryOutcome;
  std::optional<ScanOutcome> registryOutcome;

 private:
  using Field = std::atomic<int32_t>;
  static int32_t Get(const Field& f) { return f.load(std::memory_order_acquire); }
  static void Set(Field& f, int32_t v) { f.store(v, std::memory_order_release); }

  Field actionMode_{0};
  Field showAllFiles_{0};
  Field selectedTypesOnly_{0};
  Field scanAllDrives_{0};
  Field closeWhenDone_{0};
  Field scanRunning_{0};
  Field rootDone_{0};
  Field scanAborted_{0};
  Field stopRequested_{0};
  std::atomic<char> driveLetter_{0};
  Field rootIndex_{0};
  Field ringWriteIndex_{0};
  Field ringReadIndex_{0};
  Field ringRetryCount_{0};
  Field memoryInfected_{0};
  Field bootRenameNeeded_{0};
};

// The terminated string a path buffer holds.
std::string_view PathView(const PathBuffer& buffer);

// Copies `path` into a path buffer when it fits (at most 259 characters);
// false, with the buffer unchanged, when it does not: paths are never cut.
bool SetPath(PathBuffer& buffer, std::string_view path);

}  // namespace scan
