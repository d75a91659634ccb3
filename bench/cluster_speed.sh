#!/usr/bin/env bash
# Containers per second, in one hyperfine run with warm caches, over one
# collection (bench/make_collection.py: programs, folders, ZIPs and FAT
# images, --inside):
#   krizclean     the command-line cleaner, one process, the whole folder
#   module        the Python module in one Python process, one call per
#                 container, as a cluster task makes them
#   cluster-1/2   python3 -m krizclean.cluster on a local cluster of 1 and 2
#                 worker processes (batches of BATCH containers)
#   cluster-1-b1  1 worker, a task per container: with cluster-1, the
#                 overhead of one task
#   cluster-1-one 1 worker, one container: the cluster's start and stop
# Each finds infected files, and so ends in status 1 (hyperfine -i). The
# ratios are to krizclean's time; the per-task overhead and what it means
# for large clusters close the output (see the README).
#
#   bench/cluster_speed.sh [COUNT] [BATCH]    (default 2000 containers, batches of 50)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
count=${1:-2000}
batch=${2:-50}

[ -f build/native/build.ninja ] || scripts/build native >/dev/null
cmake --build build/native --target krizclean krizspec _krizclean >/dev/null
python=/usr/bin/python3
export PYTHONPATH=$root/build/native/python

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
collection=$work/collection
$python bench/make_collection.py build/native/tools/krizspec "$collection" "$count"
cat >"$work/module.py" <<'PY'
import os, sys
from krizclean.cluster import Settings, scan_batch
folder = os.fsencode(sys.argv[1])
settings = Settings(clean=False, backup=None, all_files=False, inside=True, show_all=False,
                    entries=True)
for name in sorted(os.listdir(folder)):
    scan_batch([folder + b"/" + name], settings)
PY
echo "$collection/prog000000.exe" >"$work/one.list"

cleaner=build/native/cli/krizclean
out=$work/records.jsonl
echo "== $count containers in $collection"
hyperfine -N -i --warmup 1 --min-runs 3 --style basic --export-json "$work/times.json" \
  --prepare "rm -f $out" \
  -n krizclean "$cleaner --quiet --inside --json $work/single.json $collection" \
  -n module "$python $work/module.py $collection" \
  -n cluster-1 "$python -m krizclean.cluster -q --workers 1 --batch $batch -o $out $collection" \
  -n cluster-2 "$python -m krizclean.cluster -q --workers 2 --batch $batch -o $out $collection" \
  -n cluster-1-b1 "$python -m krizclean.cluster -q --workers 1 --batch 1 -o $out $collection" \
  -n cluster-1-one "$python -m krizclean.cluster -q --workers 1 --list -o $out $work/one.list"

$python - "$work/times.json" "$count" "$batch" <<'PY'
import json, sys
t = {r["command"]: r["median"] for r in json.load(open(sys.argv[1]))["results"]}
n, batch = int(sys.argv[2]), int(sys.argv[3])
print()
base = t["krizclean"]
for name in ("krizclean", "module", "cluster-1", "cluster-2"):
    print(f"{name:10} {n / t[name]:9.0f} containers/s   time x{t[name] / base:5.2f} of krizclean's")
start = t["cluster-1-one"]
tasks = n - -(-n // batch)
task = (t["cluster-1-b1"] - t["cluster-1"]) / tasks
container = (t["cluster-1"] - start) / n
print(f"starting a local cluster and its client, and stopping them: {start:.2f} s")
print(f"one container in a task: {container * 1e3:.2f} ms;"
      f" the overhead of one task: {task * 1e3:.2f} ms")
print(f"containers per task for a 2% overhead: {task / container / 0.02:.0f}")
PY
