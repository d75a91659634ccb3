#!/usr/bin/env bash
# Virtual machines' disks against the same raw image, as ratios measured in
# one run (hyperfine, each run on a fresh copy; status 1, "infected files
# were found", is expected):
#  - cleaning 50 infected programs in a 64 MiB FAT32 image: raw, qcow2, VHDX;
#  - scanning a FAT32 volume of 20,000 small files: raw, qcow2;
#  - the cost of starting qemu-nbd: a scan of an empty 2 MiB FAT12 disk,
#    raw and qcow2.
#
#   bench/virtual_disk.sh [FILES]   (default 20000)
#   KRIZCLEAN=path/to/krizclean bench/virtual_disk.sh   measures another build
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

files=${1:-20000}
if [ -z "${KRIZCLEAN:-}" ]; then
  [ -f build/native/build.ninja ] || scripts/build native >/dev/null
  cmake --build build/native --target krizclean specimen_set >/dev/null
  KRIZCLEAN=build/native/cli/krizclean
fi
cleaner=$(realpath "$KRIZCLEAN")
export MTOOLS_SKIP_CHECK=1

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
build/native/tests/specimen_set inside "$work/set" >/dev/null
program=$work/set/drive/SETUP.EXE

# 50 infected programs.
mkfs.fat -C -F 32 -n BENCH "$work/clean.img" 65536 >/dev/null
mmd -i "$work/clean.img" ::/GAMES
for i in $(seq 1 50); do mcopy -i "$work/clean.img" "$program" "::/GAMES/P$i.EXE"; done
qemu-img convert -f raw -O qcow2 "$work/clean.img" "$work/clean.qcow2"
qemu-img convert -f raw -O vhdx "$work/clean.img" "$work/clean.vhdx"
echo "== cleaning 50 infected files: raw, qcow2, VHDX"
hyperfine -N -i -w 1 -r 5 --export-markdown "$work/clean.md" \
  -n raw -p "cp --sparse=always $work/clean.img $work/run.img" "$cleaner -q --clean $work/run.img" \
  -n qcow2 -p "cp $work/clean.qcow2 $work/run.qcow2" "$cleaner -q --clean $work/run.qcow2" \
  -n vhdx -p "cp $work/clean.vhdx $work/run.vhdx" "$cleaner -q --clean $work/run.vhdx"

# A volume of many small files, scanned.
mkfs.fat -C -F 32 -n MANY "$work/many.img" 262144 >/dev/null
mkdir -p "$work/many"
for d in $(seq 1 $((files / 500))); do
  mkdir -p "$work/many/D$d"
  for f in $(seq 1 500); do printf 'MZ%d' "$f" >"$work/many/D$d/F$f.EXE"; done
done
mcopy -s -i "$work/many.img" "$work/many"/* ::/
qemu-img convert -f raw -O qcow2 "$work/many.img" "$work/many.qcow2"
echo "== scanning $files files: raw, qcow2"
hyperfine -N -i -w 1 -r 5 -n raw "$cleaner -q $work/many.img" -n qcow2 "$cleaner -q $work/many.qcow2"

# The server's start, on a disk with nothing on it.
mkfs.fat -C -F 12 "$work/empty.img" 2048 >/dev/null
qemu-img convert -f raw -O qcow2 "$work/empty.img" "$work/empty.qcow2"
echo "== starting qemu-nbd: an empty disk, raw and qcow2"
hyperfine -N -i -w 2 -r 20 -n raw "$cleaner -q $work/empty.img" \
  -n qcow2 "$cleaner -q $work/empty.qcow2"
