// The end-of-scan report and the virus's name.
#pragma once

#include <cstddef>
#include <string>

#include "scan/scan_state.h"

namespace scan {

// The eight counter lines, a blank line and up to two closing sentences; at
// most 350 characters.
std::string BuildReport(const ScanState& s);

// Copies "Win32.Kriz.4050" and its terminator into `buffer` when `size` holds
// them; returns 16, the number of characters that copy takes.
size_t VirusName(char* buffer, size_t size);

}  // namespace scan
