#!/usr/bin/env bash
# How fast krizclean scans a large tree with one job, two and the default (one
# per core), as ratios to the bare walker in C (bench/bare_walker.c: open, read
# the headers, close, on one thread), side by side in one hyperfine run:
# first with warm caches, then cold (the system's caches dropped before every
# run, which needs root). Then the peak memory of a scan at 20,000 and
# 100,000 files.
#
#   bench/jobs_speed.sh [TREE]    (default build/bench/walk_tree, written when missing)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

[ -f build/native/build.ninja ] || scripts/build native >/dev/null
cmake --build build/native --target krizclean bare_walker make_walk_tree >/dev/null
tree=${1:-build/bench/walk_tree}
[ -d "$tree" ] || build/native/bench/make_walk_tree "$tree"
tree=$(realpath "$tree")
big=build/bench/walk_tree_100k
[ -d "$big" ] || build/native/bench/make_walk_tree "$big" 100000
big=$(realpath "$big")

bare=build/native/bench/bare_walker
cleaner="build/native/cli/krizclean --scan-only --all-files --quiet"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

echo "== $(find "$tree" -type f | wc -l) files under $tree, $(nproc) cores"
commands=(-n bare "$bare $tree"
  -n j1 "$cleaner -j 1 $tree"
  -n j2 "$cleaner -j 2 $tree"
  -n default "$cleaner $tree")

ratios() {
  python3 - "$1" <<'EOF'
import json, sys
results = {r["command"]: r for r in json.load(open(sys.argv[1]))["results"]}
bare = results["bare"]["median"]
for name, r in results.items():
    print(f"  {name:8s} median {r['median'] * 1000:8.1f} ms   speed {bare / r['median']:.2f} x the bare walker")
EOF
}

echo "== warm caches"
hyperfine -N --warmup 3 --min-runs 15 --style basic --export-json "$work/warm.json" "${commands[@]}"
ratios "$work/warm.json"

if [ -w /proc/sys/vm/drop_caches ]; then
  echo "== cold caches"
  hyperfine --warmup 1 --min-runs 8 --style basic --export-json "$work/cold.json" \
    --prepare 'sync; echo 3 > /proc/sys/vm/drop_caches' "${commands[@]}"
  ratios "$work/cold.json"
else
  echo "== cold caches: skipped (dropping the caches needs root)"
fi

echo "== peak memory (maximum resident set)"
for t in "$tree" "$big"; do
  n=$(find "$t" -type f | wc -l)
  for jobs in 1 default; do
    option=()
    [ "$jobs" = default ] || option=(-j "$jobs")
    # shellcheck disable=SC2086  # the command is a word list
    kb=$(/usr/bin/time -f %M $cleaner "${option[@]}" "$t" 2>&1 >/dev/null | tail -n 1)
    echo "  $n files, jobs $jobs: $kb KiB"
  done
done
