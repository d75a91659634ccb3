#!/usr/bin/env bash
# What leaving things out costs the walk: krizclean -j 1 over a large tree as
# it is, with --backup (each folder is identified as it is entered, to know
# the backup folder), with -x (the same, for its device), and with four
# --exclude and four --exclude-dir patterns that match nothing (each entry is
# matched against all of them, by name and by path), in one hyperfine run with
# warm caches; each as a ratio of its time to the plain walk's.
#
#   bench/exclude_speed.sh [TREE]    (default build/bench/walk_tree, written when missing)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

[ -f build/native/build.ninja ] || scripts/build native >/dev/null
cmake --build build/native --target krizclean make_walk_tree >/dev/null
tree=${1:-build/bench/walk_tree}
[ -d "$tree" ] || build/native/bench/make_walk_tree "$tree"
tree=$(realpath "$tree")
files=$(find "$tree" -type f | wc -l)
folders=$(find "$tree" -mindepth 1 -type d | wc -l)

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cleaner="build/native/cli/krizclean --scan-only --all-files --quiet -j 1"
patterns="--exclude *.bak.exe --exclude /nowhere/* --exclude [Tt]emp?.exe --exclude *~"
patterns+=" --exclude-dir .git --exclude-dir /nowhere/* --exclude-dir *cache* --exclude-dir [Tt]mp"

echo "== $files files in $folders folders under $tree"
# The backup folder lies outside the tree: nothing is left out, so every
# variant does the same work but for what leaving out costs. hyperfine runs
# one command's series after the other, so a burst of other work on the
# machine lands on one of them: three rounds, and the middle ratio counts.
rounds=3
for round in $(seq $rounds); do
  hyperfine -N --warmup 3 --min-runs 15 --style basic --export-json "$work/times-$round.json" \
    -n plain "$cleaner $tree" \
    -n backup "$cleaner --backup $work/backups $tree" \
    -n one-file-system "$cleaner -x $tree" \
    -n patterns "$cleaner $patterns $tree" >/dev/null
done

python3 - "$work" "$rounds" <<'PY'
import json, statistics, sys
work, rounds = sys.argv[1], int(sys.argv[2])
medians = []
for round in range(1, rounds + 1):
    results = json.load(open(f"{work}/times-{round}.json"))["results"]
    medians.append({r["command"]: r["median"] for r in results})
print(f"{'':16} {'ms':>8} {'time / plain':>13} {'(each round)':>22}")
for name in ("plain", "backup", "one-file-system", "patterns"):
    ratios = [m[name] / m["plain"] for m in medians]
    each = " ".join(f"{r:.3f}" for r in ratios)
    print(f"{name:16} {statistics.median(m[name] for m in medians) * 1000:8.1f} "
          f"{statistics.median(ratios):13.3f} {each:>22}")
PY
