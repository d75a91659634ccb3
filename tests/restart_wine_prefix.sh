#!/usr/bin/env bash
# Makes (once) a Wine prefix for the restart tests: one of ours
# (scripts/wine-prefix, of the architecture KRIZ_WINEARCH names), reporting
# Windows 98 or the default NT version, with a CD-ROM drive E: and a network
# drive N: so that requests on such drives can be refused for real. Safe to
# run from parallel tests.
#   tests/restart_wine_prefix.sh PREFIX nt|98
set -euo pipefail
trap 'echo "restart_wine_prefix: a step failed (line $LINENO, status $?)" >&2' ERR
prefix=$1
platform=$2
root=$(cd "$(dirname "$0")/.." && pwd)
case $platform in
  nt | 98) ;;
  *) echo "restart_wine_prefix: unknown platform '$platform' (nt, 98)" >&2; exit 2 ;;
esac

"$root/scripts/wine-prefix" "$prefix"

source "$root/scripts/wine-env"
export WINEPREFIX=$prefix
exec 8>"$prefix.restart.lock"
flock 8
ready=$prefix/.kriz-restart-$platform
[ -f "$ready" ] && exit 0
cd "$prefix"
if [ "$platform" = 98 ]; then
  "$WINE" reg add 'HKCU\Software\Wine' /v Version /d win98 /f >/dev/null
fi
drives='HKLM\Software\Wine\Drives'
"$WINE" reg add "$drives" /v e: /d cdrom /f >/dev/null
"$WINE" reg add "$drives" /v n: /d network /f >/dev/null
mkdir -p "$prefix/cdrom" "$prefix/network"
ln -sfn ../cdrom "$prefix/dosdevices/e:"
ln -sfn ../network "$prefix/dosdevices/n:"
# The drive types are read when the prefix's services start: let them stop.
"$WINESERVER" -w
touch "$ready"
