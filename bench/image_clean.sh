#!/usr/bin/env bash
# How cleaning files inside a FAT32 image grows with the infected files and
# with the volume, as ratios to a scan of the same image in the same run:
#  - 50, 100, 200 and 400 infected copies of a program in one 1 GiB image
#    (4 KiB clusters) that also holds 256 MiB of other files;
#  - one infected program on a large sparse image with 512-byte clusters
#    (32 GiB: two FATs of 256 MiB each).
# Time by hyperfine (each run on a fresh copy of the image; the status 1 that
# says infected files were found is expected), peak memory by
# GNU time.
#
#   bench/image_clean.sh [COUNTS] [SPARSE_GIB]   (defaults "50 100 200 400" and 32)
#   KRIZCLEAN=path/to/krizclean bench/image_clean.sh   measures another build
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

counts=${1:-50 100 200 400}
sparse_gib=${2:-32}
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

peak() {  # peak memory of one run, in MiB
  { /usr/bin/time -f %M "$@" 2>&1 >/dev/null || true; } | tail -1 |
    awk '{ printf "%.0f", $1 / 1024 }'
}

measure() {  # NAME MODEL: scan and clean of the image MODEL
  local name=$1 model=$2 image=$work/image.img
  cp --sparse=always "$model" "$image"
  hyperfine -N -i --warmup 1 --runs "${RUNS:-5}" --style none --export-json "$work/times.json" \
    --prepare "cp --sparse=always $model $image" \
    -n scan "$cleaner --scan-only --quiet $image" \
    -n clean "$cleaner --clean --quiet $image" >/dev/null 2>&1
  local scan_mib clean_mib
  cp --sparse=always "$model" "$image"
  scan_mib=$(peak "$cleaner" --scan-only --quiet "$image")
  clean_mib=$(peak "$cleaner" --clean --quiet "$image")
  python3 - "$work/times.json" "$name" "$scan_mib" "$clean_mib" <<'PY'
import json, sys
times = {r["command"]: r["median"] for r in json.load(open(sys.argv[1]))["results"]}
name, scan_mib, clean_mib = sys.argv[2], int(sys.argv[3]), int(sys.argv[4])
print(f"| {name} | {times['scan']:.3f} s | {times['clean']:.3f} s | "
      f"{times['clean'] / times['scan']:.1f} | {scan_mib} MiB | {clean_mib} MiB | "
      f"{clean_mib / max(scan_mib, 1):.1f} |")
PY
}

echo "krizclean: $cleaner"
echo "| image | scan | clean | clean/scan | scan peak | clean peak | clean/scan |"
echo "| --- | ---: | ---: | ---: | ---: | ---: | ---: |"
for count in $counts; do
  model=$work/many-$count.img
  mkfs.fat -C -F 32 -s 8 "$model" $((1024 * 1024)) >/dev/null
  mkdir -p "$work/copies-$count/copies" "$work/other"
  for i in $(seq 1 "$count"); do cp "$program" "$work/copies-$count/copies/COPY$i.EXE"; done
  [ -f "$work/other/DATA0.BIN" ] || for i in $(seq 0 63); do
    head -c $((4 << 20)) /dev/urandom >"$work/other/DATA$i.BIN"
  done
  mcopy -s -i "$model" "$work/copies-$count/copies" "$work/other" ::/
  measure "$count infected of $((count + 64)) files, 1 GiB" "$model"
  rm -f "$model"
done

model=$work/sparse.img
truncate -s "${sparse_gib}G" "$model"
mkfs.fat -F 32 -s 1 "$model" >/dev/null
mcopy -i "$model" "$program" ::/
measure "1 infected, ${sparse_gib} GiB sparse, 512-byte clusters" "$model"
