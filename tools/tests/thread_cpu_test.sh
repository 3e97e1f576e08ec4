#!/usr/bin/env bash
# tools/thread_cpu.sh: a spinning process shows its time on its thread and in
# the total, a sleeping one none; bad options end with status 2, a process that
# is not there with status 1.
#   thread_cpu_test.sh SOURCE_DIR
set -uo pipefail
tool="$1/tools/thread_cpu.sh"
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

bash -c 'while :; do :; done' & spin=$!
sleep 600 & idle=$!
trap 'kill $spin $idle 2>/dev/null' EXIT

out=$(bash "$tool" --seconds 2 "$spin") || fail "spinning process: status $?"
echo "$out"
# Even on a crowded machine a spinning thread gets more than 1 % of a core.
echo "$out" | awk -v t="$spin" '$3 == t && $1 > 1 { ok = 1 } END { exit !ok }' ||
  fail "the spinning thread shows no time"
echo "$out" | awk '$2 == "total" && $1 > 1 { ok = 1 } END { exit !ok }' || fail "no total"
out=$(bash "$tool" --seconds 1 "$idle") || fail "sleeping process: status $?"
echo "$out" | awk -v t="$idle" '$3 == t && $1 == 0 { ok = 1 } END { exit !ok }' ||
  fail "the sleeping thread shows time: $out"

rc=0; bash "$tool" --seconds 0 "$idle" 2>/dev/null || rc=$?
[ "$rc" = 2 ] || fail "--seconds 0 ended with $rc, not 2"
rc=0; bash "$tool" 2>/dev/null || rc=$?
[ "$rc" = 2 ] || fail "no process named ended with $rc, not 2"
kill "$idle"; wait "$idle" 2>/dev/null
rc=0; bash "$tool" --seconds 1 "$idle" 2>/dev/null || rc=$?
[ "$rc" = 1 ] || fail "a process that is gone ended with $rc, not 1"

[ "$failures" = 0 ] && echo PASS
