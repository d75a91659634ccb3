#include "cli/options.h"

#include <getopt.h>

#include <charconv>

#include "inside/codepage.h"

namespace cli {

const char kUsage[] =
    "usage: krizclean [OPTIONS] PATH...\n"
    "       krizclean --restore DIR [--force] [-q] [PATH...]\n"
    "Finds Win32.Kriz.4050 in the files under each PATH (a folder, walked whole,\n"
    "or one file) and, when asked, cleans them in place.\n"
    "\n"
    "  -s, --scan-only         report infected files and change nothing (the\n"
    "                          default)\n"
    "  -a, --ask               ask for each infected file: disinfect, skip or quit\n"
    "                          (no answer, or the end of input, skips the file)\n"
    "  -c, --clean             clean every infected file\n"
    "      --all-files         look at every file, not only *.exe, Kernel32.dll and\n"
    "                          Krized.tt6\n"
    "      --show-all          list clean files too\n"
    "      --inside            also look into the disk images and archives met in\n"
    "                          folders (.img .ima .vfd .hdd .vhd .vmdk .iso .zip\n"
    "                          .cab .lzh .7z .rar .tar ...); an image or archive\n"
    "                          given as a PATH is always looked into. Files inside\n"
    "                          raw FAT images are cleaned in place; inside anything\n"
    "                          else they are only scanned\n"
    "      --codepage N        the DOS code page of short names inside FAT images:\n"
    "                          437 (the default), 850, 852 or 866\n"
    "      --exclude GLOB      leave out the files whose name, or whose path as\n"
    "                          shown, matches GLOB\n"
    "      --exclude-dir GLOB  leave out the folders whose name, or whose path as\n"
    "                          shown, matches GLOB, with all they hold\n"
    "                          (both may be given again; GLOB as in fnmatch(3):\n"
    "                          '*' also matches '/'. A PATH named on the command\n"
    "                          line is scanned whatever GLOB says)\n"
    "  -x, --one-file-system   do not enter folders on another file system than\n"
    "                          the PATH they were reached from\n"
    "  -q, --quiet             no progress display\n"
    "  -j, --jobs N            test and clean files on N threads (default: one per\n"
    "                          core); the output is the same whatever N\n"
    "      --json FILE         also write the results as JSON to FILE; with '-'\n"
    "                          standard output holds only the JSON\n"
    "      --backup DIR        keep each infected file in DIR before it is cleaned,\n"
    "                          with a line in DIR/manifest.txt (DIR is made when\n"
    "                          missing, and is never scanned itself)\n"
    "      --restore DIR       put back the originals kept in DIR (all of them, or\n"
    "                          those under the PATHs), each only over the file\n"
    "                          that cleaning made of it; nothing is scanned\n"
    "      --force             with --restore: put back over a file that changed\n"
    "                          since it was cleaned\n"
    "  -h, --help              this text\n"
    "  -V, --version           the program's version and what it is built with\n"
    "\n"
    "Exit status: 1 when an infected file was found, else 2 when the command\n"
    "line was wrong or anything could not be scanned (a PATH, a folder, a file\n"
    "that could not be opened), else 0. Excluded files and folders are counted\n"
    "in the report, not as unscanned. --restore ends in 0 when every original\n"
    "it was to put back holds its original bytes, else in 2. See krizclean(1).\n";

namespace {

enum LongOnly : int {
  kAllFiles = 256,
  kShowAll,
  kJson,
  kBackup,
  kInside,
  kExclude,
  kExcludeDir,
  kCodepage,
  kRestore,
  kForce
};

// More threads than this only wait on each other.
constexpr unsigned kMaxJobs = 256;

// A whole number from 1 to kMaxJobs, or nullopt.
std::optional<unsigned> JobCount(std::string_view text) {
  unsigned value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  if (value == 0 || value > kMaxJobs) return std::nullopt;
  return value;
}

const option kLongOptions[] = {
    {"scan-only", no_argument, nullptr, 's'},
    {"ask", no_argument, nullptr, 'a'},
    {"clean", no_argument, nullptr, 'c'},
    {"all-files", no_argument, nullptr, kAllFiles},
    {"show-all", no_argument, nullptr, kShowAll},
    {"quiet", no_argument, nullptr, 'q'},
    {"jobs", required_argument, nullptr, 'j'},
    {"json", required_argument, nullptr, kJson},
    {"help", no_argument, nullptr, 'h'},
    {"version", no_argument, nullptr, 'V'},
    {"backup", required_argument, nullptr, kBackup},
    {"inside", no_argument, nullptr, kInside},
    {"codepage", required_argument, nullptr, kCodepage},
    {"exclude", required_argument, nullptr, kExclude},
    {"exclude-dir", required_argument, nullptr, kExcludeDir},
    {"one-file-system", no_argument, nullptr, 'x'},
    {"restore", required_argument, nullptr, kRestore},
    {"force", no_argument, nullptr, kForce},
    {nullptr, 0, nullptr, 0},
};

}  // namespace

CommandLine ParseCommandLine(int argc, char** argv) {
  CommandLine result;
  Options& options = result.options;
  std::optional<scan::ActionMode> action;
  bool actionsConflict = false;
  auto chooseAction = [&](scan::ActionMode mode) {
    if (action && *action != mode) actionsConflict = true;
    action = mode;
  };

  // Our own messages, and a leading ':' so that a missing argument is told
  // apart from an unknown option.
  opterr = 0;
  optind = 1;
  int option;
  while ((option = getopt_long(argc, argv, ":sacqhVxj:", kLongOptions, nullptr)) != -1) {
    switch (option) {
      case 's':
        chooseAction(scan::ActionMode::ScanOnly);
        break;
      case 'a':
        chooseAction(scan::ActionMode::AskUser);
        break;
      case 'c':
        chooseAction(scan::ActionMode::Clean);
        break;
      case 'q':
        options.quiet = true;
        break;
      case 'h':
        options.help = true;
        break;
      case 'j':
        if (const std::optional<unsigned> jobs = JobCount(optarg)) {
          options.jobs = *jobs;
        } else {
          result.error = std::string("--jobs needs a number from 1 to ") +
                         std::to_string(kMaxJobs) + ", not '" + optarg + "'";
          return result;
        }
        break;
      case kAllFiles:
        options.allFiles = true;
        break;
      case kShowAll:
        options.showAll = true;
        break;
      case kJson:
        options.jsonPath = optarg;
        break;
      case 'V':
        options.version = true;
        break;
      case kBackup:
        options.backupFolder = optarg;
        break;
      case kInside:
        options.inside = true;
        break;
      case kCodepage: {
        int number = 0;
        const std::string_view text(optarg);
        const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), number);
        if (error != std::errc() || end != text.data() + text.size() ||
            !inside::Codepage::Numbered(number)) {
          result.error =
              "--codepage needs one of " + inside::Codepage::Supported() + ", not '" + optarg + "'";
          return result;
        }
        options.codepage = number;
        break;
      }
      case kExclude:
      case kExcludeDir:
        // An empty pattern matches no name: surely a slip of the shell.
        if (*optarg == '\0') {
          result.error =
              std::string(option == kExclude ? "--exclude" : "--exclude-dir") + " needs a pattern";
          return result;
        }
        (option == kExclude ? options.walk.excludeFiles : options.walk.excludeFolders)
            .push_back(optarg);
        break;
      case 'x':
        options.walk.oneFileSystem = true;
        break;
      case kRestore:
        options.restoreFolder = optarg;
        break;
      case kForce:
        options.force = true;
        break;
      case ':':
        result.error = std::string("option '") + argv[optind - 1] + "' needs a value";
        return result;
      default:
        result.error = optopt != 0 ? std::string("unknown option '-") + char(optopt) + "'"
                                   : std::string("unknown option '") + argv[optind - 1] + "'";
        return result;
    }
  }
  // Two different actions are refused rather than resolved: guessing wrong
  // would change files the user meant only to scan.
  if (actionsConflict) {
    result.error = "choose one of --scan-only, --ask and --clean";
    return result;
  }
  if (action) options.action = *action;
  options.paths.assign(argv + optind, argv + argc);
  if (options.restoreFolder) {
    // A restore scans nothing: options that shape a scan would be ignored
    // in silence.
    const Options plain;
    if (action || options.allFiles || options.showAll || options.inside || options.jsonPath ||
        options.backupFolder || options.jobs != 0 || options.codepage != plain.codepage ||
        !options.walk.excludeFiles.empty() || !options.walk.excludeFolders.empty() ||
        options.walk.oneFileSystem) {
      result.error = "--restore goes with --force, --quiet and PATHs only";
    }
    return result;
  }
  if (options.force) {
    result.error = "--force goes with --restore only";
    return result;
  }
  if (options.paths.empty() && !options.help && !options.version) result.error = "no PATH given";
  return result;
}

std::string_view ActionName(scan::ActionMode action) {
  switch (action) {
    case scan::ActionMode::AskUser:
      return "ask";
    case scan::ActionMode::Clean:
      return "clean";
    case scan::ActionMode::ScanOnly:
    case scan::ActionMode::ChangesBarred:
      break;
  }
  return "scan-only";
}

}  // namespace cli
