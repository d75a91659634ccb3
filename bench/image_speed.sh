#!/usr/bin/env bash
# How fast krizclean scans the files inside a FAT32 disk image, as a ratio to
# scanning the same tree as a folder (with the default jobs, and with one, as
# the image is walked): the 20,000-file tree of make_walk_tree, copied with
# mtools into an image made by mkfs.fat, all scanned with --all-files in one
# hyperfine run with warm caches.
#
#   bench/image_speed.sh [TREE]    (default build/bench/walk_tree, written when missing)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

[ -f build/native/build.ninja ] || scripts/build native >/dev/null
cmake --build build/native --target krizclean make_walk_tree >/dev/null
tree=${1:-build/bench/walk_tree}
if [ ! -d "$tree" ]; then
  build/native/bench/make_walk_tree "$tree"
fi
tree=$(realpath "$tree")
files=$(find "$tree" -type f | wc -l)

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
image=$work/tree.img
# Room for the tree twice over in 4 KiB clusters, and never less than FAT32
# needs (65,525 clusters).
kib=$(du -sk --apparent-size "$tree" | cut -f1)
kib=$(( kib * 2 + files * 4 ))
[ "$kib" -ge 300000 ] || kib=300000
mkfs.fat -C -F 32 -s 8 "$image" "$kib" >/dev/null
MTOOLS_SKIP_CHECK=1 mcopy -s -i "$image" "$tree"/* ::/

cleaner=build/native/cli/krizclean
echo "== $files files under $tree, and in a FAT32 image of $((kib / 1024)) MiB"
hyperfine -N --warmup 3 --min-runs 10 --style basic --export-json "$work/times.json" \
  -n folder "$cleaner --scan-only --all-files --quiet $tree" \
  -n folder-j1 "$cleaner --scan-only --all-files --quiet -j 1 $tree" \
  -n image "$cleaner --scan-only --all-files --quiet $image"

python3 - "$work/times.json" "$files" <<'PY'
import json, sys
results = {r["command"]: r["median"] for r in json.load(open(sys.argv[1]))["results"]}
files = int(sys.argv[2])
print()
for name in ("folder", "folder-j1", "image"):
    print(f"{name:9} {files / results[name]:10.0f} files/s")
print(f"image time / folder time: {results['image'] / results['folder']:.2f}")
print(f"image time / folder time with one job: {results['image'] / results['folder-j1']:.2f}")
PY
