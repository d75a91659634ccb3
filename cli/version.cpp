#include "cli/version.h"

#include <archive.h>
#include <tsk/libtsk.h>

#include <nlohmann/json.hpp>

#ifndef KRIZCLEAN_VERSION
#define KRIZCLEAN_VERSION "unknown"
#endif
#ifndef KRIZ_LIBURING_VERSION
#define KRIZ_LIBURING_VERSION "unknown"
#endif

namespace cli {

std::string_view Version() { return KRIZCLEAN_VERSION; }

std::string BuiltWith() {
  // The versions the shared libraries answer at run time (what is loaded,
  // which a system's upgrade may have changed), where they can tell; liburing
  // cannot, and is named by the version it was built against.
  std::string text;
  text += std::string("libarchive: ") + ::archive_version_details() + "\n";
  text += std::string("The Sleuth Kit: ") + ::tsk_version_get_str() + "\n";
  text += "liburing: " KRIZ_LIBURING_VERSION "\n";
  text += "nlohmann_json: " + std::to_string(NLOHMANN_JSON_VERSION_MAJOR) + "." +
          std::to_string(NLOHMANN_JSON_VERSION_MINOR) + "." +
          std::to_string(NLOHMANN_JSON_VERSION_PATCH) + "\n";
#ifdef KRIZ_VIRTUAL_DISKS
  text += "virtual machine disks: " KRIZ_VIRTUAL_DISKS "\n";
#else
  text += "virtual machine disks: VHD and VMDK read by The Sleuth Kit (no QEMU block layer)\n";
#endif
  return text;
}

}  // namespace cli
