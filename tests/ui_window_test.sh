#!/usr/bin/env bash
# Runs the window tests: ui_window_test.exe starts and drives krizclean.exe
# under Wine (KRIZ_WINEARCH: the 32-bit or the 64-bit one), on an Xvfb display
# of its own, in the prefix ui under build/wine/ (build/wine64/) whose drive D:
# is the folder build/ui-specimens-ARCH. Screenshots land in
# build/screenshots/ARCH/ as PNG files. Xvfb and the prefix's wineserver are
# ended on every way out.
#   tests/ui_window_test.sh DRIVER.exe CLEANER.exe [GTEST ARGS...]
set -euo pipefail
driver=$(realpath "$1")
cleaner=$(realpath "$2")
shift 2
root=$(cd "$(dirname "$0")/.." && pwd)
source "$root/scripts/wine-env"
source "$root/tests/xvfb.sh"
build=$root/build
prefix=$KRIZ_WINE_DIR/ui
specimens=$build/ui-specimens-$KRIZ_WINEARCH
shots=$build/screenshots/$KRIZ_WINEARCH

# The path on drive B: (the build folder) of a file below it.
on_drive_b() {
  local path=${1#"$build"/}
  echo "B:\\${path//\//\\}"
}

export WINEPREFIX=$prefix
"$root/scripts/wine-prefix" "$prefix"
# Windows that no window manager looks after: with none on the display, Wine
# waits two seconds for one whenever a managed window is hidden (a message box
# or the prompt closing), and the program's window thread stalls meanwhile.
unmanaged=$prefix/.kriz-ui-unmanaged
if [ ! -f "$unmanaged" ]; then
  "$WINE" reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null
  "$WINESERVER" -w
  touch "$unmanaged"
fi
# A wineserver left over from an earlier run would keep the prefix's desktop
# on a display that is gone.
"$WINESERVER" -k 2>/dev/null || true

work=$(mktemp -d)
finish() {
  "$WINESERVER" -k 2>/dev/null || true
  stop_xvfb
  for picture in "$shots"/*.bmp; do
    [ -e "$picture" ] || continue
    /usr/bin/convert "$picture" "${picture%.bmp}.png" && rm -f "$picture"
  done
  rm -rf "$work"
}
trap finish EXIT
trap "exit 143" TERM INT  # a time-out ends the run through finish too

rm -rf "$specimens"
mkdir -p "$specimens" "$shots"
rm -f "$shots"/*.bmp "$shots"/*.png
ln -sfn "$specimens" "$prefix/dosdevices/d:"

start_xvfb "$work"

export KRIZ_WINEPREFIX=$prefix
# Wine hands the environment on to the driver, and the driver to the cleaner.
export KRIZ_CLEANER KRIZ_SCREENSHOT_DIR
KRIZ_CLEANER=$(on_drive_b "$cleaner")
KRIZ_SCREENSHOT_DIR=$(on_drive_b "$shots")
cd "$build"  # drive B:, so that Wine finds the working directory
"$root/scripts/wine-run" "$driver" "$@"
