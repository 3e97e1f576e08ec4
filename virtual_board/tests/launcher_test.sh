#!/usr/bin/env bash
# qv-virtual-board runs an unchanged libusb-1.0 program against the virtual
# board: options reach the board, the trace is written, bad options are refused.
# Usage: launcher_test.sh LAUNCHER PROBE
set -u
launcher=$1 probe=$2
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
fail() { echo "FAIL: $*"; exit 1; }

"$launcher" --help | grep -q -- '--pattern scene|tone|counter' || fail "--help"
"$launcher" --pattern square -- "$probe" 2>/dev/null && fail "bad pattern accepted"
"$launcher" --clock-hz -5 -- "$probe" 2>/dev/null && fail "bad clock accepted"
"$launcher" --trace "$tmp/t" 2>/dev/null && fail "missing program accepted"
"$launcher" --help | grep -q -- '--unplug-after SECONDS' || fail "--help lacks --unplug-after"
"$launcher" --help | grep -q -- '--replug-after SECONDS' || fail "--help lacks --replug-after"
for bad in -1 abc 1x inf ''; do
  "$launcher" --unplug-after "$bad" -- "$probe" 2>/dev/null; [[ $? == 2 ]] || fail "--unplug-after '$bad' accepted"
  "$launcher" --unplug-after 1 --replug-after "$bad" -- "$probe" 2>/dev/null
  [[ $? == 2 ]] || fail "--replug-after '$bad' accepted"
done
err=$("$launcher" --replug-after 1 -- "$probe" 2>&1) && fail "--replug-after without --unplug-after accepted"
[[ $err == *"--replug-after needs --unplug-after"* ]] || fail "replug message: $err"
# Unplugged from the start: the probe finds no board.
"$launcher" --unplug-after 0 -- "$probe" >/dev/null 2>&1 && fail "probe found an unplugged board"
printf '[ST1]\nfreq_mhz = 100.9\nlevel_dbfs = -20\nbogus_key = 1\n' >"$tmp/bad_scene.ini"
err=$("$launcher" --scene "$tmp/bad_scene.ini" -- "$probe" 2>&1 >/dev/null) && fail "bad scene accepted"
[[ $err == *bad_scene.ini* ]] || fail "bad scene message does not name the file: $err"
"$launcher" --scene "$tmp/missing.ini" -- "$probe" 2>/dev/null && fail "missing scene accepted"

# Without the launcher the probe reaches the real libusb, where no board is.
"$probe" >/dev/null 2>&1 && fail "probe found a board without the launcher"

out=$(cd "$tmp" && "$launcher" --trace trace.txt --pattern counter -- "$probe") || fail "probe failed: $out"
echo "$out"
[[ $out =~ ^fw\ [0-9A-F]{8}\ chip\ 5101\ frame0\ 0\ frame1\ 1\ 0$ ]] || fail "unexpected probe output: $out"
head -3 "$tmp/trace.txt" | diff - <(printf 'open 04b4 8613\nctrl 40 a0 e600 0000 : 01\nctrl 40 a0 0000 0000 : 02 00 80\n') \
  || fail "trace start"
grep -qx 'out 01 : 0d 00 01 00' "$tmp/trace.txt" || fail "trace lacks stream_control"
tail -1 "$tmp/trace.txt" | grep -qx close || fail "trace end"

# The tone at +10 kHz: its phase step per frame shows the chip clock.
out=$("$launcher" --pattern tone -- "$probe") || fail "probe with tone failed"
[[ $out == *"frame0 16384 frame1 15630 4914" ]] || fail "tone at 66 MHz: $out"
out=$("$launcher" --pattern tone --clock-hz 33e6 -- "$probe") || fail "probe at 33 MHz failed"
[[ $out == *"frame0 16384 frame1 13436 9376" ]] || fail "tone at 33 MHz: $out"
echo PASS
