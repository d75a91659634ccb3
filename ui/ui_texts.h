// The texts the Windows program shows besides those of the scan and report.
#pragma once

namespace ui::texts {

inline constexpr char kTitleFormat[] = "Varnex %s cleaner";
inline constexpr char kPathsColumn[] = "Paths to scan";
inline constexpr char kFilesColumn[] = "Scanned files";
inline constexpr char kStatusColumn[] = "status";
inline constexpr char kBrowseTitle[] = "Select paths to scan";
inline constexpr char kScanning[] = "Scanning:";
inline constexpr char kScanIsOn[] = "Scan is on";
// The row of a path added while a scan runs, and its tip.
inline constexpr char kAddedDuringScan[] = "next scan";
inline constexpr char kAddedDuringScanReason[] = "added during a scan: the next scan walks it";
inline constexpr char kMemoryWarning[] = "Memory is infected.\r\nRestart your computer.";

// The prompt, each button with its Alt+letter.
inline constexpr char kDisinfect[] = "&Disinfect";
inline constexpr char kSkip[] = "&Skip";
inline constexpr char kQuit[] = "&Quit";
inline constexpr char kTheFile[] = "The file";
inline constexpr char kTheMemory[] = "The memory";
inline constexpr char kTheRegistry[] = "The registry";
inline constexpr char kInfectedWith[] = "is infected with ";
inline constexpr char kMemoryObject[] = "memory";
inline constexpr char kRegistryObject[] = "registry";

}  // namespace ui::texts
