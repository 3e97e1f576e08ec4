#!/usr/bin/env bash
# tunerdesk end to end without a display or a sound card: Xvfb, a private
# PulseAudio null sink, the program on the virtual board (40 MHz clock, the
# scene of run/tunerdesk) from its working directory. Clicks Connect, Radio and
# the 103.7 preset, records the null sink and waits (with a generous time-out)
# until qv-wav-measure finds the station's chord, as the scene lists it, with
# at least 30 dB SNR, and nothing on the right channel.
#
#   e2e_tunerdesk.sh LAUNCHER TUNERDESK WAV_MEASURE RUN_DIR [OUT_DIR]
#
# OUT_DIR (default: a temporary folder, removed on success) receives
# tunerdesk.wav, tunerdesk.png (the form), tunerdesk.log and measure.txt.
set -euo pipefail
launcher=$(realpath "$1"); program=$(realpath "$2"); measure=$(realpath "$3"); rundir=$4
out=${5:-}
keep=1
[ -n "$out" ] || { out=$(mktemp -d /tmp/tunerdesk-e2e.XXXXXX); keep=0; }
mkdir -p "$out"
# shellcheck source=tools/headless_lib.sh
source "$(dirname "$0")/../../tools/headless_lib.sh"

fail() { echo "e2e_tunerdesk: $*" >&2; echo "e2e_tunerdesk: files in $out" >&2; exit 1; }

hl_start
# The recorder first: it also keeps the null sink in short render blocks, so
# the first wave buffer comes back after one buffer's time.
hl_record_start "$out/tunerdesk.raw" || fail "recorder did not start"
cd "$rundir"
"$launcher" --clock-hz 40e6 --scene scene_40mhz.ini -- "$program" >"$out/tunerdesk.log" 2>&1 &
app=$!
HL_PIDS+=("$app")
wid=$(hl_wait_window "Quorvane FM demo" 60 "$app") || fail "the form did not appear"
# Client coordinates of the controls (centres of the buttons of the form).
xdotool mousemove --window "$wid" 48 44 click 1    # Button1 "Connect"
xdotool mousemove --window "$wid" 136 44 click 1   # Button7 "Radio"
xdotool mousemove --window "$wid" 61 204 click 1   # Button8 "103.7"
from=$(hl_rec_seconds "$out/tunerdesk.raw")
# The rate matching needs a few seconds to bring the pitch to the chip's rate:
# wait for 3.5 s of the station's chord, the dominant tone within 3 % (the
# pitch strays by about 1 % for seconds after a correction overshoots; the
# tones lie 19 % apart) and 30 dB above the rest.
rc=0
hl_wait_cmd 90 "$app" "$measure" --raw --channel 0 --from "$from" --window 3.5 --tolerance 3 \
    --min-snr 30 --station 103.7 --scene scene_40mhz.ini "$out/tunerdesk.raw" >"$out/measure.txt" || rc=$?
cat "$out/measure.txt"
[ $rc != 2 ] || fail "tunerdesk ended early"
[ $rc = 0 ] || fail "no 3.5 s of the 103.7 MHz chord with SNR >= 30 dB within 90 s"
import -window "$wid" "$out/tunerdesk.png"
hl_record_stop
hl_kill "$app"
sox -q -t raw -r 44100 -c 2 -b 16 -e signed-integer -L "$out/tunerdesk.raw" "$out/tunerdesk.wav"
rm -f "$out/tunerdesk.raw"

# The right channel carries nothing over the same stretch.
start=$(awk '/^start_s/ { print $2 }' "$out/measure.txt")
end=$(awk '/^start_s/ { s = $2 } /^seconds/ { printf "%.3f", s + $2 }' "$out/measure.txt")
"$measure" --channel 1 --from "$start" --to "$end" "$out/tunerdesk.wav" >/dev/null 2>&1 && fail "sound on the right channel"
echo "e2e_tunerdesk: passed"
[ "$keep" = 1 ] || rm -rf "$out"
