#!/usr/bin/env bash
# Cleans files in use as copies that replace them at the next start, restarts
# the Wine prefix, and checks that the replacement happened. The test program
# does both halves (KRIZ_RESTART_PHASE=schedule, then verify); between them
# this script looks at what was recorded and restarts the prefix with
# wineboot, which carries out WININIT.INI and the delayed moves.
#   tests/restart_end_to_end.sh PREFIX nt|98 PROGRAM.exe
set -euo pipefail
prefix=$1
platform=$2
program=$3
root=$(cd "$(dirname "$0")/.." && pwd)
export KRIZ_WINEPREFIX=$prefix

KRIZ_RESTART_PHASE=schedule "$root/scripts/wine-run" "$program"

# What the first half recorded, seen from outside.
source "$root/scripts/wine-env"
export WINEPREFIX=$prefix
cd "$prefix"
if [ "$platform" = 98 ]; then
  list=$prefix/drive_c/windows/WININIT.INI
  for line in 'C:\KRIZE2E\KERNEL32.DLL=C:\KRIZE2E\KERNEL32.DLM' \
    'C:\KRIZE2E\PROG.EXE=C:\KRIZE2E\PROG.EXF' 'NUL=C:\KRIZE2E\GONE.EXE'; do
    if ! grep -qxF "$line"$'\r' "$list"; then
      echo "restart: '$line' is not in WININIT.INI:" >&2
      cat -A "$list" >&2
      exit 1
    fi
  done
else
  key='HKLM\System\CurrentControlSet\Control\Session Manager'
  pending=$("$WINE" reg query "$key" /v PendingFileRenameOperations | tr -d '\r')
  for name in 'KRIZE2E\PROG.EXF' 'KRIZE2E\KERNEL32.DLM' 'KRIZE2E\GONE.EXE'; do
    if ! grep -qiF "$name" <<<"$pending"; then
      echo "restart: no delayed move of $name:" >&2
      echo "$pending" >&2
      exit 1
    fi
  done
fi

"$WINE" wineboot -r >/dev/null 2>&1
"$WINESERVER" -w

KRIZ_RESTART_PHASE=verify "$root/scripts/wine-run" "$program"
