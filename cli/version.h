// krizclean's version, and what the program (and the Python module, which
// is built from the same library) is built with: for --version, for
// krizclean.__version__, and for the cluster's check that every worker runs
// the same version as its client.
#pragma once

#include <string>
#include <string_view>

namespace cli {

// "0.1.0": the project's version.
std::string_view Version();

// The lines after "krizclean VERSION" in --version: the libraries it was
// built with, each with the version it runs with, and the readers of
// virtual machine disks it has. Each line ends in a line feed.
std::string BuiltWith();

}  // namespace cli
