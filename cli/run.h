// One run of krizclean: sets up the scan from the options, walks or handles
// each PATH in turn, prints the status lines and the report, writes the JSON
// and answers the exit status.
#pragma once

#include "cli/options.h"

namespace cli {

inline constexpr int kExitClean = 0;
inline constexpr int kExitInfected = 1;    // an infected file was found, cleaned or not
inline constexpr int kExitNotScanned = 2;  // wrong arguments, or a PATH not scanned whole

int Run(const Options& options);

}  // namespace cli
