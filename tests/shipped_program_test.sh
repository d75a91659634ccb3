#!/usr/bin/env bash
# The shipped Windows program, build/out/krizclean.exe (PE32), run as a user
# would run it: with /AutoStart /Close in a Wine prefix whose drive D: is a
# folder of specimens, on an Xvfb display of its own. Every file must then hold
# exactly the bytes it should: cleaned, or untouched.
#   tests/shipped_program_test.sh SHIPPED_SPECIMENS PROGRAM.exe
#
# It runs on every machine. The prefix is a 64-bit one with its 32-bit half
# (scripts/wine-prefix, KRIZ_WINEARCH=win64): Wine's own services run as 64-bit
# programs, and only krizclean.exe runs as a 32-bit one, by the kernel where
# it can, else through qemu-i386 (registered by scripts/setup), where each
# 32-bit process takes most of a minute to start. Where 32-bit programs cannot
# run at all, the test exits 77 (ctest: skipped) and says why.
set -euo pipefail
specimens_tool=$(realpath "$1")
program=$(realpath "$2")
root=$(cd "$(dirname "$0")/.." && pwd)
build=$root/build
export KRIZ_WINEARCH=win64
source "$root/scripts/wine-env"
source "$root/tests/xvfb.sh"

i386=${KRIZ_I386:-$("$root/scripts/i386-probe")}
case $i386 in
  native) how="by the kernel" ;;
  emulated) how="through qemu-i386" ;;
  *)
    echo "skipped: the shipped 32-bit program cannot run here: $("$root/scripts/i386-probe" --why)" >&2
    exit 77
    ;;
esac
case $program in
  "$build"/*) ;;
  *) echo "shipped_program: $program is not below $build (drive B:)" >&2; exit 2 ;;
esac

prefix=$KRIZ_WINE_DIR/shipped
export WINEPREFIX=$prefix
"$root/scripts/wine-prefix" "$prefix"
"$WINESERVER" -k 2>/dev/null || true

work=$(mktemp -d)
finish() {
  "$WINESERVER" -k 2>/dev/null || true
  stop_xvfb
  rm -rf "$work"
}
trap finish EXIT
trap "exit 143" TERM INT

"$specimens_tool" shipped "$work"
ln -sfn "$work/drive" "$prefix/dosdevices/d:"
start_xvfb "$work"

relative=${program#"$build"/}
echo "running B:\\${relative//\//\\} /AutoStart /Close, the 32-bit program run $how"
start=$(date +%s)
status=0
(cd "$build" && timeout 1200 "$WINE" "B:\\${relative//\//\\}" /AutoStart /Close) || status=$?
echo "the program ended with status $status after $(($(date +%s) - start)) s"
[ "$status" -eq 0 ] || exit 1

failed=0
while IFS= read -r -d '' file; do
  name=${file#"$work/expected/"}
  if ! cmp -s "$file" "$work/drive/$name"; then
    echo "D:/$name does not hold the bytes it should" >&2
    failed=1
  fi
done < <(find "$work/expected" -type f -print0)
[ "$failed" -eq 0 ] && echo "every file holds exactly the bytes it should"
exit "$failed"
