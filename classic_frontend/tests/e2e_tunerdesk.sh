#!/usr/bin/env bash
# tunerdesk end to end without a display or a sound card: Xvfb, a private
# PulseAudio null sink, the program on the virtual board (40 MHz clock, the
# scene of run/tunerdesk) from its working directory. Clicks Connect, Radio and
# the 103.7 preset, records the null sink and checks with qv-wav-measure that
# the station's chord is there with at least 30 dB SNR.
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
wid=$(hl_wait_window "Quorvane FM demo" 30)
[ -n "$wid" ] || fail "the form did not appear"
sleep 1
# Client coordinates of the controls (centres of the buttons of the form).
xdotool mousemove --window "$wid" 48 44 click 1    # Button1 "Connect"
sleep 1
xdotool mousemove --window "$wid" 136 44 click 1   # Button7 "Radio"
sleep 1
xdotool mousemove --window "$wid" 61 204 click 1   # Button8 "103.7"
# The rate matching needs a few seconds to bring the pitch to the chip's rate.
sleep 9
import -window "$wid" "$out/tunerdesk.png"
kill -0 "$app" 2>/dev/null || fail "tunerdesk ended early"
hl_record_stop
hl_kill "$app"
sox -q -t raw -r 44100 -c 2 -b 16 -e signed-integer -L "$out/tunerdesk.raw" "$out/tunerdesk.wav"
rm -f "$out/tunerdesk.raw"

# The last 3.5 s of the recording, while the station plays steadily.
len=$(soxi -D "$out/tunerdesk.wav")
from=$(awk -v l="$len" 'BEGIN { printf "%.2f", l - 3.5 }')
"$measure" --channel 0 --from "$from" --tones 261.63,329.63,392 "$out/tunerdesk.wav" \
    >"$out/measure.txt" || fail "no audio recorded"
cat "$out/measure.txt"
awk '/^frequency_hz/ { f = $2 } /^snr_db/ { s = $2 }
     END {
       # Within 3 %: the rate matching lets the pitch stray by about 1 % for
       # seconds after a correction overshoots; the tones lie 19 % apart.
       ok = 0
       split("261.63 329.63 392", t, " ")
       for (i in t) if (f > t[i] * 0.97 && f < t[i] * 1.03) ok = 1
       if (!ok) { print "e2e_tunerdesk: dominant " f " Hz is none of the chord tones" > "/dev/stderr"; exit 1 }
       if (s < 30) { print "e2e_tunerdesk: SNR " s " dB below 30" > "/dev/stderr"; exit 1 }
     }' "$out/measure.txt" || fail "check failed"
# The right channel carries nothing.
"$measure" --channel 1 --from "$from" "$out/tunerdesk.wav" >/dev/null 2>&1 && fail "sound on the right channel"
echo "e2e_tunerdesk: passed"
[ "$keep" = 1 ] || rm -rf "$out"
