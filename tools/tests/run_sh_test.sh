#!/usr/bin/env bash
# tools/run.sh on the build under test (QV_RUN_BUILD=0): bad options end with
# a usage message and status 2 before anything starts, a launcher that refuses
# its options ends the run at once with its reason, and a board whose clock
# puts no station at the preset (qv01_fm configured for 66 MHz on a 40 MHz
# board) makes it say "no station" with status 1 instead of naming a station.
#   run_sh_test.sh BUILD_DIR SOURCE_DIR
set -uo pipefail
build=$1
src=$2
work=$(mktemp -d /tmp/run_sh_test.XXXXXX)
trap 'rm -rf "$work"' EXIT
export QV_BUILD_DIR=$build QV_RUN_BUILD=0
unset DISPLAY
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

# expect STATUS PATTERN ARGS...: run.sh ARGS ends with STATUS and prints PATTERN.
expect() {
  local want=$1 pattern=$2 rc=0
  shift 2
  (cd "$work" && timeout 120 bash "$src/tools/run.sh" "$@") >"$work/out.txt" 2>&1 || rc=$?
  if [ "$rc" != "$want" ] || ! grep -q -- "$pattern" "$work/out.txt"; then
    fail "run.sh $* ended with $rc, not $want with '$pattern':"
    sed 's/^/    /' "$work/out.txt"
  fi
}

expect 2 "^usage: tools/run.sh" --preset abc
expect 2 "--preset takes 1..5 for tunerdesk" --classic --preset 6
expect 2 "--seconds takes" --seconds 0
expect 2 "--out needs a value" --out
expect 2 "unknown option --bogus" --bogus
# The launcher's own reason, at once.
start=$SECONDS
expect 2 "qv-virtual-board: .*clock" -- --clock-hz abc
expect 2 "missing.ini" -- --scene missing.ini
[ $((SECONDS - start)) -le 30 ] || fail "refused launcher options took $((SECONDS - start)) s"

# Noise: no station, and the output folder relative to where run.sh was called.
expect 1 "^no station: the recording after the 103.5 MHz preset" --out rel --seconds 1 -- --clock-hz 40000000
grep -q "tuned station" "$work/out.txt" && fail "a station was named for noise"
[ -s "$work/rel/qv01_fm.wav" ] && [ -s "$work/rel/measure.txt" ] || fail "no recording in $work/rel"

[ "$failures" = 0 ] && echo PASS
