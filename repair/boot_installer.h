// The first part of finishing a scan: when replacements at restart went to
// the program's own rename list WININI32.INI, the boot-time rename program
// that carries that list out is written into the Windows directory and
// registered to run once at the next start of the system.
#pragma once

#include "scan/scan.h"

namespace repair {

inline constexpr char kBootProgramFileName[] = "PUI.COM";
inline constexpr char kRunServicesOnceKey[] =
    "Software\\Microsoft\\Windows\\CurrentVersion\\RunServicesOnce";
inline constexpr char kBootProgramValueName[] = "Winini32";

inline constexpr char kBootProgramFailureText[] =
    "A system error occurred while setting up the system for finalizing the disinfection at "
    "reboot";
inline constexpr char kBootProgramFailureCaption[] = "WININI32.COM creation error";

// Does nothing and answers 1 (go on) while the scan's bootRenameNeeded
// is 0. Otherwise writes the whole program image to PUI.COM in the Windows
// directory (replacing any file of that name) and sets the value Winini32 of
// the existing key RunServicesOnce of the local machine to that file's path;
// answers 1 when both are done. Any failure shows the one failure message
// through the scan's message seam and answers 0 (stop: the report does not
// follow): no Windows directory, the file not created, the image not wholly
// written (the file is then deleted), the key not opened or the value not
// set (the file then stays). bootRenameNeeded is left as it is.
int InstallBootRenameProgram(scan::Scan& scan);

}  // namespace repair
