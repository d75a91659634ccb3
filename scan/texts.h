// The user-visible texts of scanning and its report.
#pragma once

#include <string_view>

namespace scan::texts {

inline constexpr std::string_view kVirusName = "Win32.Kriz.4050";

// Status texts by outcome, from -3 to 6.
inline constexpr std::string_view kStatus[] = {
    "cannot delete", "cannot disinfect",    "cannot open",      "ok",   "infected", "disinfected",
    "deleted",       "disinfect at reboot", "delete at reboot", "gone",
};

inline constexpr std::string_view kStatusSeparator = "\t\t\t";

inline constexpr char kReportFormat[] =
    "clean: %d\r\nleft infected by user: %d\r\ndisinfected: %d\r\ndisinfect at reboot: "
    "%d\r\ndeleted: %d\r\ndelete at reboot: %d\r\ncould not disinfect: %d\r\naccess denied: "
    "%d\r\n\r\n";
// The line of the report's counts for infected files that were gone when
// they were to be cleaned; there only when there are any.
inline constexpr char kGoneFormat[] = "gone before it was cleaned: %d\r\n";
inline constexpr std::string_view kStillInfected =
    "There are still infected objects in the scanned paths\r\n";
inline constexpr std::string_view kNoViruses = "No viruses found";
inline constexpr std::string_view kRestartNeeded =
    "You need to restart your computer to complete the disinfection";

inline constexpr std::string_view kLineEnd = "\r\n";
// The checks of the running system, by the names their status lines show.
inline constexpr std::string_view kMemoryObject = "memory";
inline constexpr std::string_view kRegistryObject = "registry";
// A scan that ended before its end says so: in the window's report after
// kStopped, in the command-line cleaner's after how it was ended.
inline constexpr std::string_view kStopped = "Scan stopped; ";
inline constexpr std::string_view kNotReached = "what was not reached was not scanned";

inline constexpr char kRingStalledText[] = "System error. Please, press \"Stop scan\"";
inline constexpr char kRingStalledCaption[] = "Error";

}  // namespace scan::texts
