#!/usr/bin/env bash
# What reading a ZIP by its own records first (its end, its central
# directory and every local header, to find entries the directory does not
# list) costs on ordinary ZIPs: krizclean scans the 20,000-file tree of
# make_walk_tree zipped (many small members) and one ZIP of a few large
# members, against BASELINE (a krizclean built without that reading, e.g.
# from the commit before), in one hyperfine run with warm caches.
#
#   bench/zip_speed.sh BASELINE [TREE]   (TREE default build/bench/walk_tree)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

baseline=$(realpath "${1:?usage: bench/zip_speed.sh BASELINE [TREE]}")
[ -f build/native/build.ninja ] || scripts/build native >/dev/null
cmake --build build/native --target krizclean make_walk_tree >/dev/null
tree=${2:-build/bench/walk_tree}
if [ ! -d "$tree" ]; then
  build/native/bench/make_walk_tree "$tree"
fi
tree=$(realpath "$tree")

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
(cd "$tree" && zip -qr "$work/tree.zip" .)
head -c $((64 << 20)) /dev/urandom >"$work/noise.bin"
(cd "$work" && for i in 1 2 3 4; do cp noise.bin "big$i.exe"; done &&
  zip -q -0 large.zip big1.exe big2.exe big3.exe big4.exe && rm big?.exe noise.bin)
members=$(unzip -Z1 "$work/tree.zip" | wc -l)

cleaner=$(realpath build/native/cli/krizclean)
echo "== $members members in tree.zip ($(du -h "$work/tree.zip" | cut -f1)), 4 of 64 MiB in large.zip"
hyperfine -N -i --warmup 2 --min-runs 10 --style basic --export-json "$work/times.json" \
  -n many-before "$baseline --scan-only --all-files --quiet $work/tree.zip" \
  -n many-now "$cleaner --scan-only --all-files --quiet $work/tree.zip" \
  -n large-before "$baseline --scan-only --all-files --quiet $work/large.zip" \
  -n large-now "$cleaner --scan-only --all-files --quiet $work/large.zip"

python3 - "$work/times.json" <<'PY'
import json, sys
results = {r["command"]: r["median"] for r in json.load(open(sys.argv[1]))["results"]}
print()
for kind in ("many", "large"):
    before, now = results[kind + "-before"], results[kind + "-now"]
    print(f"{kind:6} before {before:.3f} s, now {now:.3f} s: now/before {now / before:.3f}")
PY
