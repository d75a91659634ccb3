#!/usr/bin/env bash
# How fast krizclean walks and scans a large tree on one thread (-j 1; see
# bench/jobs_speed.sh for several), as a ratio to a bare walker
# in C that does the least a scan of every file can do (open, read the headers
# and 256 bytes, close), measured side by side in one hyperfine run with warm
# caches; then the system calls each makes per file (strace -c -f).
#
#   bench/walk_speed.sh [TREE]    (default build/bench/walk_tree, written when missing)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

[ -f build/native/build.ninja ] || scripts/build native >/dev/null
cmake --build build/native --target krizclean bare_walker make_walk_tree >/dev/null
tree=${1:-build/bench/walk_tree}
if [ ! -d "$tree" ]; then
  build/native/bench/make_walk_tree "$tree"
fi
# Both programs get the same absolute path: krizclean makes a relative PATH
# absolute, and the length of the path each open walks through is part of
# the cost being compared.
tree=$(realpath "$tree")
files=$(find "$tree" -type f | wc -l)

bare=build/native/bench/bare_walker
cleaner=build/native/cli/krizclean
scan="$cleaner --scan-only --all-files --quiet -j 1 $tree"
scan_all="$cleaner --scan-only --all-files --show-all --quiet -j 1 $tree"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

echo "== $files files under $tree"
# -N: no shell between hyperfine and the programs; warm-up runs fill the
# caches. hyperfine runs one command's series after the other, so a burst of
# other work on the machine lands on one of them: three rounds, and the
# middle ratio of the three counts.
rounds=3
for round in $(seq $rounds); do
  hyperfine -N --warmup 5 --min-runs 20 --style basic --export-json "$work/times-$round.json" \
    -n bare "$bare $tree" -n krizclean "$scan" -n "krizclean --show-all" "$scan_all"
done

for name in bare krizclean show-all; do
  case $name in
    bare) command=$bare\ $tree ;;
    krizclean) command=$scan ;;
    show-all) command=$scan_all ;;
  esac
  # shellcheck disable=SC2086  # the commands are word lists
  strace -c -f -o "$work/$name.strace" $command >/dev/null
done

python3 - "$work" "$files" "$rounds" <<'PY'
import json, statistics, sys
work, files, rounds = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])

# Medians within a round: a run slowed by something else moves them least.
medians = []
for round in range(1, rounds + 1):
    results = json.load(open(f"{work}/times-{round}.json"))["results"]
    medians.append({r["command"]: r["median"] for r in results})

def calls(name):
    """Calls per system call name, and their total, from strace -c output."""
    per = {}
    for line in open(f"{work}/{name}.strace"):
        fields = line.split()
        if len(fields) >= 5 and fields[0][0].isdigit() and fields[3].isdigit():
            per[fields[-1]] = int(fields[3])
    return per

print()
print(f"{'':22} {'files/s':>10} {'ratio to bare':>14} {'(each round)':>20} {'syscalls/file':>14}")
for label, key, trace in (("bare walker (C)", "bare", "bare"),
                          ("krizclean", "krizclean", "krizclean"),
                          ("krizclean --show-all", "krizclean --show-all", "show-all")):
    ratios = [m["bare"] / m[key] for m in medians]
    ratio = statistics.median(ratios)
    rate = statistics.median(files / m[key] for m in medians)
    each = " ".join(f"{r:.2f}" for r in ratios)
    per = calls(trace)
    print(f"{label:22} {rate:10.0f} {ratio:14.2f} {each:>20} {per.get('total', 0) / files:14.2f}")

print("\nper file, by call (krizclean | bare):")
bare_calls, ours = calls("bare"), calls("krizclean")
for name in sorted(set(ours) | set(bare_calls), key=lambda n: -ours.get(n, 0)):
    if name != "total" and max(ours.get(name, 0), bare_calls.get(name, 0)) >= files / 100:
        print(f"  {name:16} {ours.get(name, 0) / files:6.2f} | {bare_calls.get(name, 0) / files:6.2f}")
PY
