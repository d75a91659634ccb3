// krizclean: finds and cleans Win32.Kriz.4050 in folders and files from a
// terminal, for disks, images and archives of old programs examined offline.
#include <cstdio>

#include "cli/options.h"
#include "cli/run.h"
#include "cli/terminal.h"

#ifndef KRIZCLEAN_VERSION
#define KRIZCLEAN_VERSION "unknown"
#endif

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
    std::puts("krizclean " KRIZCLEAN_VERSION);
    return cli::kExitClean;
  }
  return cli::Run(commandLine.options);
}
