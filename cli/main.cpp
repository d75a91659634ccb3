// krizclean: finds and cleans Win32.Kriz.4050 in folders and files from a
// terminal, for disks, images and archives of old programs examined offline.
#include <sys/resource.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "cli/options.h"
#include "cli/restore.h"
#include "cli/run.h"
#include "cli/terminal.h"
#include "cli/version.h"

int main(int argc, char** argv) {
  const cli::CommandLine commandLine = cli::ParseCommandLine(argc, argv);
  if (!commandLine.error.empty()) {
    std::fprintf(stderr, "krizclean: %s\nTry 'krizclean --help'\n",
                 cli::Escaped(commandLine.error).c_str());
    return cli::kExitNotScanned;
  }
  if (commandLine.options.help) {
    std::fputs(cli::kUsage, stdout);
    return cli::kExitClean;
  }
  if (commandLine.options.version) {
    std::printf("krizclean %s\n%s", std::string(cli::Version()).c_str(), cli::BuiltWith().c_str());
    return cli::kExitClean;
  }
  // The walk holds two descriptors for each folder it stands in: a deep tree
  // may want more than the usual soft limit allows.
  rlimit files{};
  if (getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < files.rlim_max) {
    files.rlim_cur = std::min<rlim_t>(files.rlim_max, rlim_t{1} << 20);
    setrlimit(RLIMIT_NOFILE, &files);
  }
  // With TZ unset, the C library looks at /etc/localtime again for every
  // time it converts (The Sleuth Kit converts three for each file of an
  // image); named once, the same zone is read once.
  if (std::getenv("TZ") == nullptr) setenv("TZ", ":/etc/localtime", 1);
  if (commandLine.options.restoreFolder) return cli::Restore(commandLine.options);
  return cli::Run(commandLine.options);
}
