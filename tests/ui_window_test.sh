#!/usr/bin/env bash
# Runs the window tests: ui_window_test.exe starts and drives krizclean.exe
# under Wine, on an Xvfb display of its own, in the prefix build/wine/ui whose
# drive D: is the folder build/ui-specimens. Screenshots land in
# build/screenshots/ as PNG files. Xvfb and the prefix's wineserver are ended
# on every way out.
#   tests/ui_window_test.sh DRIVER.exe CLEANER.exe [GTEST ARGS...]
set -euo pipefail
driver=$(realpath "$1")
cleaner=$(realpath "$2")
shift 2
root=$(cd "$(dirname "$0")/.." && pwd)
build=$root/build
prefix=$build/wine/ui
specimens=$build/ui-specimens
shots=$build/screenshots

# The path on drive B: (the build folder) of a file below it.
on_drive_b() {
  local path=${1#"$build"/}
  echo "B:\\${path//\//\\}"
}

export WINEPREFIX=$prefix WINEDEBUG=${WINEDEBUG:--all} WINEDLLOVERRIDES="mscoree,mshtml="
"$root/scripts/wine-prefix" "$prefix"
# Windows that no window manager looks after: with none on the display, Wine
# waits two seconds for one whenever a managed window is hidden (a message box
# or the prompt closing), and the program's window thread stalls meanwhile.
unmanaged=$prefix/.kriz-ui-unmanaged
if [ ! -f "$unmanaged" ]; then
  wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null
  wineserver -w
  touch "$unmanaged"
fi
# A wineserver left over from an earlier run would keep the prefix's desktop
# on a display that is gone.
wineserver -k 2>/dev/null || true

work=$(mktemp -d)
xvfb=""
finish() {
  wineserver -k 2>/dev/null || true
  if [ -n "$xvfb" ]; then
    kill "$xvfb" 2>/dev/null || true
    wait "$xvfb" 2>/dev/null || true
  fi
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

# Xvfb picks a free display number and writes it once it accepts clients.
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$work/display" 2>"$work/xvfb.log" &
xvfb=$!
for _ in $(seq 200); do
  [ -s "$work/display" ] && break
  kill -0 "$xvfb" 2>/dev/null || break
  sleep 0.05
done
if [ ! -s "$work/display" ]; then
  echo "ui_window_test: Xvfb did not start:" >&2
  cat "$work/xvfb.log" >&2
  exit 1
fi
export DISPLAY=:$(head -n 1 "$work/display")

export KRIZ_WINEPREFIX=$prefix
# Wine hands the environment on to the driver, and the driver to the cleaner.
export KRIZ_CLEANER KRIZ_SCREENSHOT_DIR
KRIZ_CLEANER=$(on_drive_b "$cleaner")
KRIZ_SCREENSHOT_DIR=$(on_drive_b "$shots")
cd "$build"  # drive B:, so that Wine finds the working directory
"$root/scripts/wine-run" "$driver" "$@"
