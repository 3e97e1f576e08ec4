#!/usr/bin/env bash
# qv-radio as a user runs it, on the virtual board under the launcher, in a
# working directory of its own (the default files come from the source tree):
# playing into a private PulseAudio null sink whose monitor is recorded, a
# pipe into sox, Ctrl-C while recording, the band scan of the default scene,
# and the command line's own answers. Prints PASS or FAIL lines.
#   e2e_qv_radio.sh BUILD_DIR SOURCE_ROOT
set -u
build=$1
src=$2
# shellcheck source=tools/headless_lib.sh
source "$src/tools/headless_lib.sh"
vboard=$build/virtual_board/qv-virtual-board
radio=$build/radio_cli/qv-radio
measure=$build/tools/qv-wav-measure
failed=0
pass() { echo "PASS $*"; }
fail() { echo "FAIL $*"; failed=1; }

hl_start || { echo "FAIL headless start"; exit 1; }
work=$(mktemp -d /tmp/qvradio-e2e.XXXXXX)
cd "$work" || exit 1
# No maker's firmware from this machine's user.
export XDG_DATA_HOME=$work/data

# The command line.
"$radio" --help | grep -q -- "--scan \[FROM TO STEP\]" && pass "--help" || fail "--help"
"$radio" --version | grep -q "^qv-radio " && pass "--version" || fail "--version"
"$radio" -f 103.5 --bogus 2>err.txt
rc=$?
[ $rc = 2 ] && grep -q "unknown option --bogus" err.txt && grep -q "^usage:" err.txt &&
  pass "bad argument: rc 2 and usage" || fail "bad argument: rc $rc $(cat err.txt)"

# Playing the stereo station: its tones in the sound server's output.
hl_record_start played.raw || fail "recorder"
"$vboard" -- "$radio" -f 103.5M --seconds 5 2>play.txt
rc=$?
hl_record_stop
if [ $rc = 0 ] && "$measure" --raw --channel 0 --tones 392 --window 1 played.raw >m0.txt &&
   "$measure" --raw --channel 1 --tones 587.33 --window 1 played.raw >m1.txt; then
  pass "play: left 392 Hz, right 587.33 Hz in the sink"
else
  fail "play: rc $rc"; cat play.txt m0.txt m1.txt 2>/dev/null
fi
grep -q "^103.5000 MHz, AFC .* stereo (pilot .*, underruns " play.txt &&
  pass "health line" || { fail "health line"; cat play.txt; }

# A pipe into sox: exactly the seconds asked for.
"$vboard" -- "$radio" -f 103.5M -o - --seconds 2 --quiet |
  sox -t raw -r 44100 -e signed -b 16 -c 2 - piped.wav 2>sox.txt
samples=$(soxi -s piped.wav 2>/dev/null)
[ "$samples" = 88200 ] && pass "pipe into sox: 88200 frames" || fail "pipe into sox: '$samples' $(cat sox.txt)"

# Ctrl-C while recording: exit 0 and a WAV whose header counts its samples.
"$vboard" -- "$radio" -f 103.5M -o cut.wav --quiet 2>cut.txt &
pid=$!
for _ in $(seq 600); do
  [ "$(stat -c %s cut.wav 2>/dev/null || echo 0)" -gt 200000 ] && break
  sleep 0.1
done
kill -INT $pid
wait $pid
rc=$?
header=$(od -An -tu4 -j40 -N4 cut.wav | tr -d ' ')
size=$(stat -c %s cut.wav)
[ $rc = 0 ] && [ "$header" = $((size - 44)) ] && [ -s cut.wav ] &&
  pass "Ctrl-C: rc 0, data size $header" || { fail "Ctrl-C: rc $rc header $header size $size"; cat cut.txt; }

# The default scene's six stations, within 10 kHz, and nothing else.
"$vboard" -- "$radio" --scan >scan.txt 2>scan_err.txt
rc=$?
found=$(awk '/ MHz /{print $1}' scan.txt | tr '\n' ' ')
ok=1
for want in 100.9 101.2 103.5 103.7 105.7 106.2; do
  awk -v w="$want" '/ MHz /{d=$1-w; if (d<0) d=-d; if (d<=0.010) f=1} END{exit !f}' scan.txt || ok=0
done
[ $rc = 0 ] && [ $ok = 1 ] && [ "$(grep -c ' MHz ' scan.txt)" = 6 ] &&
  pass "scan: $found" || { fail "scan: rc $rc: $found"; cat scan.txt scan_err.txt; }
awk '/ MHz /{d=$1-103.5; if (d<0) d=-d; if (d<=0.010 && $NF=="yes") f=1} END{exit !f}' scan.txt &&
  pass "scan: 103.5 MHz stereo" || fail "scan: stereo flag"

# The sound server dies while playing: one line and exit status 1. (Last:
# the server is gone afterwards.)
"$vboard" -- "$radio" -f 103.5M 2>dies.txt &
pid=$!
for _ in $(seq 600); do
  grep -q "MHz, AFC" dies.txt && break
  sleep 0.1
done
kill -TERM "${HL_PIDS[1]}"
wait $pid
rc=$?
[ $rc = 1 ] && [ "$(grep -vc 'MHz, AFC' dies.txt)" = 1 ] && grep -q "^qv-radio: The sound server went away" dies.txt &&
  pass "sound server gone: rc 1, one line" || { fail "sound server gone: rc $rc"; cat dies.txt; }

cd / && rm -rf "$work"
hl_stop
[ $failed = 0 ] && echo "PASS e2e_qv_radio" || echo "FAIL e2e_qv_radio"
exit $failed
