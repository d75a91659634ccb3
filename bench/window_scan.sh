#!/usr/bin/env bash
# How much "Show all files" slows the Windows program's scan: the window driven
# under Wine on an Xvfb display of its own, over a tree of FILES files (5,000 by
# default), without and with the option, ROUNDS times each (3 by default); the
# ratio of the median times, and how soon Stop scan and Exit end a listing
# scan. The figures are comparable only within one run.
#
#   bench/window_scan.sh [CONFIG [FILES [ROUNDS]]]
#
# CONFIG is the build to measure: win64 (the default) under the 64-bit Wine,
# or win32 under the 32-bit one where this machine runs it. The run has its
# own prefix (build/wine*/bench) whose drive D: is build/bench/window-ARCH.
set -euo pipefail
config=${1:-win64}
files=${2:-5000}
rounds=${3:-3}
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

case $config in
  win64 | win32) export KRIZ_WINEARCH=$config ;;
  *) echo "window_scan: unknown configuration '$config' (win64, win32)" >&2; exit 2 ;;
esac
[ -f "build/$config/build.ninja" ] || scripts/build "$config" >/dev/null
cmake --build "build/$config" --target window_scan_bench krizclean_gui >/dev/null

source scripts/wine-env
source tests/xvfb.sh
build=$root/build
prefix=$KRIZ_WINE_DIR/bench
drive_d=$build/bench/window-$KRIZ_WINEARCH

on_drive_b() {
  local path=${1#"$build"/}
  echo "B:\\${path//\//\\}"
}

export WINEPREFIX=$prefix KRIZ_WINEPREFIX=$prefix
scripts/wine-prefix "$prefix"
cd "$build"  # drive B:, so that Wine finds the working directory
# No window manager on the display: windows are unmanaged, as in the window
# tests (tests/ui_window_test.sh says why).
if [ ! -f "$prefix/.kriz-ui-unmanaged" ]; then
  "$WINE" reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null
  "$WINESERVER" -w
  touch "$prefix/.kriz-ui-unmanaged"
fi
"$WINESERVER" -k 2>/dev/null || true

work=$(mktemp -d)
finish() {
  "$WINESERVER" -k 2>/dev/null || true
  stop_xvfb
  rm -rf "$work" "$drive_d"
}
trap finish EXIT
trap "exit 143" TERM INT

mkdir -p "$drive_d"
ln -sfn "$drive_d" "$prefix/dosdevices/d:"
start_xvfb "$work"

export KRIZ_CLEANER
KRIZ_CLEANER=$(on_drive_b "$build/$config/ui/krizclean.exe")
echo "== $config: the window's scan of $files files, $rounds rounds" \
  "($(git -C "$root" rev-parse --short HEAD)$(git -C "$root" diff --quiet HEAD -- ui || echo ', ui changed'))"
"$root/scripts/wine-run" "$build/$config/bench/window_scan_bench.exe" "$files" "$rounds"
