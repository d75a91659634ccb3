#!/bin/sh
# ctest's entry to the DOSBox-X cases of the boot-time program:
#   run_cases.sh PUI.COM
# Node.js and the npm package come from scripts/setup; when either is missing
# the test fails with a word on what to do, it is not skipped.
dir=$(cd "${0%/*}" && pwd)
if ! command -v node >/dev/null 2>&1; then
  echo "boot_program_dosbox: Node.js (node) is not on the PATH: run scripts/setup" >&2
  exit 1
fi
if [ ! -f "$dir/node_modules/emulators/package.json" ]; then
  echo "boot_program_dosbox: the npm package \"emulators\" is missing in $dir/node_modules:" \
    "run scripts/setup" >&2
  exit 1
fi
exec node "$dir/boot_program_cases.js" "$@"
