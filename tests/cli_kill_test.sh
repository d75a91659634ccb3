#!/usr/bin/env bash
# krizclean --clean killed with SIGKILL at each system call that changes a
# file (every write, cut, flush, rename, deletion and change of attributes, one
# after the other, by strace's fault injection), and at random moments. Right
# after each kill every file must be its infected original, its exact clean
# form, or have its journal beside it (the next run puts it back); after the
# next --clean run every file must be exactly clean, with its mode, and no
# journal left.
#   tests/cli_kill_test.sh KRIZCLEAN SPECIMEN_SET
set -euo pipefail
krizclean=$(realpath "$1")
specimen_set=$(realpath "$2")
work=$(mktemp -d)
trap 'chmod -R u+w "$work" 2>/dev/null; rm -rf "$work"' EXIT

"$specimen_set" kill "$work/set"
set_drive=$work/set/drive
expected=$work/set/expected
chmod a-w "$set_drive/locked.exe"
files=()
while IFS= read -r -d '' f; do files+=("${f#"$expected/"}"); done \
  < <(find "$expected" -type f -print0)

drive=$work/drive
failures=0
fail() {
  echo "FAIL ($1): $2" >&2
  failures=$((failures + 1))
}

fresh() {
  [ -d "$drive" ] && chmod -R u+w "$drive" && rm -rf "$drive"
  cp -a "$set_drive" "$drive"
}

# Right after a kill: original, clean, or journaled.
check_killed() {
  local when=$1 name now
  for name in "${files[@]}"; do
    now=$drive/$name
    if [ -e "$now.kzj" ]; then continue; fi
    if cmp -s "$now" "$set_drive/$name" || cmp -s "$now" "$expected/$name"; then
      if [ "$(stat -c %a "$now")" != "$(stat -c %a "$set_drive/$name")" ]; then
        fail "$when" "$name has mode $(stat -c %a "$now")"
      fi
    else
      fail "$when" "$name is half repaired, with no journal"
    fi
  done
}

# A scan-only run after the kill writes nothing: every file and journal stays
# as the kill left it (bytes, mode and names), and a journal is said and its
# file counted as not scanned.
check_scan_only() {
  local when=$1 status=0 before after
  before=$(cd "$drive" && find . -printf '%p %m %s\n' | sort && find . -type f -exec sha256sum {} + | sort)
  "$krizclean" --scan-only -q "$drive" >/dev/null 2>"$work/stderr" || status=$?
  after=$(cd "$drive" && find . -printf '%p %m %s\n' | sort && find . -type f -exec sha256sum {} + | sort)
  if [ "$before" != "$after" ]; then
    fail "$when" "a scan-only run changed the folder"
  fi
  if [ -n "$(find "$drive" -name '*.kzj')" ]; then
    # 2 (not everything scanned), or 1 where other files were found infected.
    if [ "$status" -lt 1 ] || [ "$status" -gt 2 ] ||
      ! grep -q 'interrupted cleaning: run with --clean to finish it' "$work/stderr"; then
      fail "$when" "a scan-only run did not say the journal it met (status $status): $(cat "$work/stderr")"
    fi
  fi
}

# After the next run: every file exactly clean, with its mode, and nothing
# else left in the folder.
check_recovered() {
  local when=$1 name status=0
  "$krizclean" --clean -q "$drive" >/dev/null 2>"$work/stderr" || status=$?
  if [ "$status" -gt 1 ]; then
    fail "$when" "the next run ended with status $status: $(cat "$work/stderr")"
  fi
  for name in "${files[@]}"; do
    if ! cmp -s "$drive/$name" "$expected/$name"; then
      fail "$when" "$name is not clean after the next run"
    elif [ "$(stat -c %a "$drive/$name")" != "$(stat -c %a "$set_drive/$name")" ]; then
      fail "$when" "$name has mode $(stat -c %a "$drive/$name") after the next run"
    fi
  done
  local left
  left=$(find "$drive" -type f | wc -l)
  if [ "$left" -ne "${#files[@]}" ]; then
    fail "$when" "$((left - ${#files[@]})) files left over: $(find "$drive" -name '*.kzj' | head -3)"
  fi
}

kills=0
for calls in write pwrite64 ftruncate fsync unlink unlinkat chmod,fchmodat fchmod \
  rename,renameat,renameat2 openat; do
  first=${calls%%,*}
  for ((n = 1; ; n++)); do
    fresh
    status=0
    strace -f -o /dev/null -e trace="$calls" -e inject="$first:signal=SIGKILL:when=$n" \
      "$krizclean" --clean -q "$drive" >/dev/null 2>&1 || status=$?
    if [ "$status" -ne 137 ]; then
      break  # fewer than n such calls: the run went through
    fi
    kills=$((kills + 1))
    check_killed "$first #$n"
    check_scan_only "$first #$n"
    check_recovered "$first #$n"
  done
  echo "$first: killed at each of $((n - 1)) calls"
done

# krizclean --restore killed the same way, after a --clean that kept
# backups: right after each kill every file is its cleaned form or its
# original, or has its journal beside it; the next --restore leaves every
# file its original, with its mode, and no journal.
fresh
"$krizclean" --clean -q --backup "$work/kept" "$drive" >/dev/null 2>&1 || true
cp -a "$drive" "$work/cleaned"
restore_fresh() {
  chmod -R u+w "$drive" && rm -rf "$drive" "$work/bk"
  cp -a "$work/cleaned" "$drive"
  cp -a "$work/kept" "$work/bk"
}
check_restored() {
  local when=$1 name status=0
  "$krizclean" --restore "$work/bk" -q >/dev/null 2>"$work/stderr" || status=$?
  if [ "$status" -ne 0 ]; then
    fail "$when" "the next restore ended with status $status: $(cat "$work/stderr")"
  fi
  for name in "${files[@]}"; do
    if ! cmp -s "$drive/$name" "$set_drive/$name"; then
      fail "$when" "$name is not its original after the next restore"
    elif [ "$(stat -c %a "$drive/$name")" != "$(stat -c %a "$set_drive/$name")" ]; then
      fail "$when" "$name has mode $(stat -c %a "$drive/$name") after the next restore"
    fi
  done
  if [ -n "$(find "$drive" -name '*.kzj')" ]; then fail "$when" "a journal was left"; fi
}
for calls in write pwrite64 ftruncate fsync unlink unlinkat fchmod openat; do
  first=${calls%%,*}
  for ((n = 1; ; n++)); do
    restore_fresh
    status=0
    strace -f -o /dev/null -e trace="$calls" -e inject="$first:signal=SIGKILL:when=$n" \
      "$krizclean" --restore "$work/bk" -q >/dev/null 2>&1 || status=$?
    if [ "$status" -ne 137 ]; then
      break
    fi
    kills=$((kills + 1))
    check_killed "restore, $first #$n"
    check_restored "restore, $first #$n"
  done
  echo "restore, $first: killed at each of $((n - 1)) calls"
done
restore_fresh
check_restored "restore without a kill"
chmod -R u+w "$drive"

# Random moments: a bigger folder, so that a run lasts long enough to be hit.
cp -a "$set_drive" "$work/base"
for ((copy = 2; copy <= 12; copy++)); do
  cp -a "$work/base" "$set_drive/copy$copy"
done
files=()
while IFS= read -r -d '' f; do files+=("${f#"$set_drive/"}"); done \
  < <(find "$set_drive" -type f -print0)
for name in "${files[@]}"; do
  if [ ! -e "$expected/$name" ]; then
    mkdir -p "$(dirname "$expected/$name")"
    cp "$expected/${name#copy*/}" "$expected/$name"
  fi
done
for ((round = 1; round <= 20; round++)); do
  fresh
  "$krizclean" --clean -q "$drive" >/dev/null 2>&1 &
  pid=$!
  sleep "0.00$((RANDOM % 9 + 1))"
  kill -KILL "$pid" 2>/dev/null || true
  wait "$pid" 2>/dev/null || true
  check_killed "random kill $round"
  check_recovered "random kill $round"
done

# A folder where no journal can be written (run as an ordinary user, whom
# the folder's mode stops): the file is not cleaned in place but reported
# "cannot disinfect", untouched.
chmod 755 "$work"
mkdir "$work/readonly"
cp "$set_drive/zero.exe" "$work/readonly/a.exe"
chown -R 65534:65534 "$work/readonly"
chmod 555 "$work/readonly"
status=0
output=$(setpriv --reuid=65534 --regid=65534 --clear-groups \
  "$krizclean" --clean -q "$work/readonly/a.exe" 2>/dev/null) || status=$?
if ! grep -qxF "$work/readonly/a.exe: cannot disinfect" <<<"$output"; then
  fail "no journal" "not reported 'cannot disinfect': $output (status $status)"
fi
cmp -s "$work/readonly/a.exe" "$set_drive/zero.exe" || fail "no journal" "the file was changed"
[ ! -e "$work/readonly/a.exe.kzj" ] || fail "no journal" "a journal was left"
chmod 755 "$work/readonly"

echo "$kills kills at system calls and 20 at random moments; $failures failures"
[ "$failures" -eq 0 ]
