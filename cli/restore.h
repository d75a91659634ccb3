// krizclean --restore DIR [PATH...]: the originals kept in DIR by --backup
// put back, each over the file that cleaning made of it, with a status line
// each and a short report.
#pragma once

#include "cli/options.h"

namespace cli {

// The exit status: 0 when every original it was to put back holds its
// original bytes now, else 2.
int Restore(const Options& options);

}  // namespace cli
