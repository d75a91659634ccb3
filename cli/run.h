// One run of krizclean: sets up the scan from the options, walks or handles
// each PATH in turn, prints the status lines and the report, writes the JSON
// and answers the exit status.
#pragma once

#include "cli/options.h"

namespace cli {

inline constexpr int kExitClean = 0;
inline constexpr int kExitInfected = 1;  // an infected file was found, cleaned or not
// Wrong arguments, or something sent to it was not scanned: a PATH, a folder
// below one, a file that could not be opened, or what a stop left unreached.
inline constexpr int kExitNotScanned = 2;

int Run(const Options& options);

}  // namespace cli
