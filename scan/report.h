// The end-of-scan report and the virus's name.
#pragma once

#include <cstddef>
#include <string>

#include "scan/scan_state.h"

namespace scan {

// How a scan ended: at the end of what it was to scan, or stopped before it
// (Stop scan, the window closed, Quit at the prompt).
enum class ScanEnd { Complete, Stopped };

// The eight counter lines (files only) and a blank line; then, when the
// running system was checked, its memory and registry with their statuses
// and a blank line; then, for a stopped scan, that what was not reached was
// not scanned; and up to two closing sentences, which count the system's
// findings with the files'.
std::string BuildReport(const ScanState& s, ScanEnd end = ScanEnd::Complete);

// Copies "Win32.Kriz.4050" and its terminator into `buffer` when `size` holds
// them; returns 16, the number of characters that copy takes.
size_t VirusName(char* buffer, size_t size);

}  // namespace scan
