#!/usr/bin/env bash
# Runs the FAT writer's fuzzer for a bounded time from seeds made here: small
# FAT12 volumes (one FAT, and two) from mkfs.fat, holding an infected program
# at the root and one under a long-named folder.
#   tests/fat_plan_fuzz.sh FUZZER SPECIMEN_SET ARTIFACT_PREFIX
set -euo pipefail
fuzzer=$(realpath "$1")
specimen_set=$(realpath "$2")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export MTOOLS_SKIP_CHECK=1

"$specimen_set" inside "$work/set" >/dev/null
drive=$work/set/drive
mkdir "$work/corpus"
for fats in 1 2; do
  seed=$work/corpus/fat12-$fats
  mkfs.fat -C -F 12 -r 16 -s 1 -f "$fats" "$seed" 48 >/dev/null
  mcopy -i "$seed" "$drive/SETUP.EXE" ::/
  mmd -i "$seed" "::/Old Games"
  mcopy -i "$seed" "$drive/Program Files/Old Games/Space Pinball Deluxe.exe" "::/Old Games/"
done
exec "$fuzzer" -runs=200000 -max_total_time=30 -max_len=65536 -artifact_prefix="$3" \
  "$work/corpus"
