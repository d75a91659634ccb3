// The backup folder of --backup DIR and of --restore DIR, checked before
// anything is scanned or restored.
#pragma once

#include <memory>
#include <string>

#include "os/directory.h"

namespace cli {

enum class FolderUse {
  Keep,     // --backup: made (for its owner alone) when missing
  Restore,  // --restore: it must be there
};

// The folder at `path`, held open; unopened, with the reason in `problem`,
// when it is no folder to keep copies of infected programs in or to put
// files back from: one that another user owns or can write to, one on a
// path through a folder that another user owns or can change, or one
// reached through a link that another user could have placed.
std::shared_ptr<const os::Folder> BackupFolder(const std::string& path, FolderUse use,
                                               std::string& problem);

}  // namespace cli
