#include "cli/options.h"

#include <getopt.h>

#include <charconv>

#include "inside/codepage.h"

namespace cli {

const char kUsage[] =
    "usage: krizclean [OPTIONS] PATH...\n"
    "       krizclean --restore DIR [--force] [-q] [PATH...]\n"
    "Finds Win32.Kriz.4050 in the files under each PATH (a folder, walked whole,\n"
    "or one file; '-': the bytes of standard input, scanned only) and, when\n"
    "asked, cleans them in place.\n"
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
    "      --json-lines FILE   also write the results to FILE as JSON Lines, a\n"
    "                          record a line as each object is decided, the counts\n"
    "                          last; with '-' standard output holds only them\n"
    "      --log FILE          also append what is printed to FILE\n"
    "      --no-summary        no report after the status lines\n"
    "  -f, --file-list FILE    also scan the PATHs FILE names, one a line ('-':\n"
    "                          standard input); may be given again\n"
    "      --null              with --file-list: the PATHs are separated by NULs\n"
    "                          (as find -print0 writes them), not line feeds\n"
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
  kForce,
  kJsonLines,
  kLog,
  kNoSummary,
  kNull,
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
    {"json-lines", required_argument, nullptr, kJsonLines},
    {"log", required_argument, nullptr, kLog},
    {"no-summary", no_argument, nullptr, kNoSummary},
    {"file-list", required_argument, nullptr, 'f'},
    {"null", no_argument, nullptr, kNull},
    {nullptr, 0, nullptr, 0},
};

// The options of another command-line scanner that users of it reach for,
// and what krizclean does instead, where it has a way.
const char* OurWayFor(std::string_view given) {
  const std::string_view name = given.substr(0, given.find('='));
  struct Way {
    std::string_view option;
    const char* ours;
  };
  static constexpr Way kWays[] = {
      {"-r", "folders are always walked whole"},
      {"--recursive", "folders are always walked whole"},
      {"-i", "only infected files are listed unless --show-all is given"},
      {"--infected", "only infected files are listed unless --show-all is given"},
      {"-o", "clean files are listed only with --show-all"},
      {"--suppress-ok-results", "clean files are listed only with --show-all"},
      {"--remove", "krizclean repairs infected files in place: use --clean"},
      {"--move", "use --clean --backup DIR to keep each original in DIR"},
      {"--copy", "use --clean --backup DIR to keep each original in DIR"},
      {"--exclude-pua", "krizclean finds one virus only"},
      {"-d", "krizclean knows one virus and needs no database"},
      {"--database", "krizclean knows one virus and needs no database"},
      {"--max-filesize", "every file is read whole, whatever its size"},
      {"--max-scansize", "every file is read whole, whatever its size"},
      {"--scan-archive", "use --inside to look into archives met in folders"},
      {"--cross-fs", "use -x (--one-file-system) not to cross file systems"},
      {"--follow-dir-symlinks", "symbolic links are followed only when named as a PATH"},
      {"--follow-file-symlinks", "symbolic links are followed only when named as a PATH"},
      {"-l", "use --log FILE"},
      {"--stdout", "status lines and the report go to standard output already"},
      {"--bell", "krizclean rings no bell"},
      {"--max-dir-recursion", "use --exclude-dir GLOB to leave folders out"},
  };
  for (const Way& way : kWays) {
    if (way.option == name) return way.ours;
  }
  return nullptr;
}

}  // namespace

bool ReadsStandardInput(const Options& options) {
  for (const std::string& path : options.paths) {
    if (path == "-") return true;
  }
  return false;
}

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
  while ((option = getopt_long(argc, argv, ":sacqhVxj:f:", kLongOptions, nullptr)) != -1) {
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
      case kJsonLines:
        options.jsonLinesPath = optarg;
        break;
      case kLog:
        options.logPath = optarg;
        break;
      case kNoSummary:
        options.noSummary = true;
        break;
      case 'f':
        options.fileLists.push_back(optarg);
        break;
      case kNull:
        options.nullSeparated = true;
        break;
      case ':':
        result.error = std::string("option '") + argv[optind - 1] + "' needs a value";
        return result;
      default: {
        const std::string given =
            optopt != 0 ? std::string("-") + char(optopt) : std::string(argv[optind - 1]);
        result.error = "unknown option '" + given + "'";
        // What a user of another scanner reaches for, and krizclean's way.
        if (const char* ours = OurWayFor(given); ours != nullptr) {
          result.error += std::string("; ") + ours;
        }
        return result;
      }
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
    if (action || options.allFiles || options.showAll || options.inside || options.backupFolder ||
        options.jobs != 0 || options.codepage != plain.codepage ||
        !options.walk.excludeFiles.empty() || !options.walk.excludeFolders.empty() ||
        options.walk.oneFileSystem || options.logPath || options.noSummary ||
        !options.fileLists.empty() || options.nullSeparated) {
      result.error = "--restore goes with --force, --quiet, --json, --json-lines and PATHs only";
    } else if (options.jsonPath && options.jsonLinesPath && *options.jsonPath == "-" &&
               *options.jsonLinesPath == "-") {
      result.error = "--json - and --json-lines - cannot both have standard output";
    }
    return result;
  }
  if (options.force) {
    result.error = "--force goes with --restore only";
    return result;
  }
  const bool jsonOut = options.jsonPath && *options.jsonPath == "-";
  const bool linesOut = options.jsonLinesPath && *options.jsonLinesPath == "-";
  size_t fromInput = 0;
  for (const std::string& path : options.paths) fromInput += path == "-" ? 1u : 0u;
  for (const std::string& list : options.fileLists) fromInput += list == "-" ? 1u : 0u;
  if (jsonOut && linesOut) {
    result.error = "--json - and --json-lines - cannot both have standard output";
  } else if (options.nullSeparated && options.fileLists.empty()) {
    result.error = "--null goes with --file-list only";
  } else if (fromInput > 1) {
    result.error = "standard input ('-') can be read only once";
  } else if (fromInput != 0 && options.action == scan::ActionMode::AskUser) {
    result.error = "--ask reads its answers from standard input, which '-' takes";
  } else if (ReadsStandardInput(options) && options.action == scan::ActionMode::Clean) {
    // What comes down a pipe has no file to put the clean bytes back into.
    result.error = "'-' (standard input) is only scanned: it has no file to clean";
  } else if (options.paths.empty() && options.fileLists.empty() && !options.help &&
             !options.version) {
    result.error = "no PATH given";
  }
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
