// The walk of one folder with its files tested, and cleaned, on several
// threads: one thread walks, `jobs` workers test (and with --clean repair) the
// files it meets, and the calling thread takes their results in exactly the
// order of the single-threaded walk, records them in the scan and asks the
// user, one question at a time, where --ask wants an answer. Workers read the
// starts of their files a batch at a time through io_uring, so that many reads
// are in flight at once and a batch costs one system call.
#pragma once

#include <string>

#include "scan/scan.h"
#include "scan/walk.h"

namespace cli {

struct ParallelSettings {
  unsigned jobs = 1;        // workers that test and clean
  bool prefixReads = true;  // read the starts of files in batches (io_uring) where possible
  size_t window = 4096;     // files walked and not yet recorded, at most: memory stays flat
};

// Walks the folder `root` (reached from the current directory, shown as
// `shown`) as scan::WalkTree does, with the same status lines, messages,
// counts and answers in the same order. The scan's stop request (Ctrl-C)
// lets every worker finish the file in hand, records what was finished, and
// ends with Stopped; so does a Quit answer. The current directory is the
// same afterwards.
scan::RootResult WalkTreeInParallel(scan::Scan& scan, const std::string& root,
                                    const std::string& shown, const ParallelSettings& settings);

// Whether files can be named for other threads here (os::Folder::PathOf).
bool CanWalkInParallel();

}  // namespace cli
