#!/usr/bin/env bash
# qv01_fm end to end, as a user would run it: the program on the virtual board
# under Xvfb, its audio going to a PulseAudio null sink that is recorded.
# Connect, Radio, preset 106.2 MHz, then preset 101.2 MHz; the recording must
# carry each station's tones (within 1 %, SNR >= 30 dB). Also checks that the
# window is 992 x 751 and cannot be resized, and prints the GUI thread's CPU
# share while playing.
# Usage: e2e_qv01_fm.sh BUILD_DIR SOURCE_DIR [OUT_DIR]
set -euo pipefail
build=$1
src=$2
keep=1
[ -n "${3:-}" ] || keep=0
out=${3:-$(mktemp -d /tmp/qv01_e2e.XXXXXX)}
mkdir -p "$out"
fail() { echo "FAIL: $*"; echo "(recording and log in $out)"; exit 1; }

# shellcheck source=../../tools/headless_lib.sh
source "$src/tools/headless_lib.sh"
hl_start
hl_record_start "$out/rec.raw"
t0=$(date +%s.%N)  # the recording holds audio from about here on

cd "$src/run"
"$build/virtual_board/qv-virtual-board" -- "$build/qt_frontend/qv01_fm" >"$out/app.log" 2>&1 &
app=$!
HL_PIDS+=($app)
wid=$(hl_wait_window QV01_FM 30)
[ -n "$wid" ] || fail "no window"
sleep 1

geometry() { xdotool getwindowgeometry "$wid" | awk '/Geometry/ {print $2}'; }
[ "$(geometry)" = 992x751 ] || fail "window is $(geometry), not 992x751"
# Not resizable: the window tells the window manager min size = max size.
hints=$(xprop -id "$wid" WM_NORMAL_HINTS)
grep -q "minimum size: 992 by 751" <<<"$hints" || fail "minimum size hint: $hints"
grep -q "maximum size: 992 by 751" <<<"$hints" || fail "maximum size hint: $hints"

now() { echo "$(date +%s.%N) - $t0" | bc; }
cpu_ticks() { awk '{print $14 + $15}' "/proc/$app/task/$app/stat"; }

xdotool mousemove --window "$wid" 128 66 click 1   # Connect
sleep 0.5
xdotool mousemove --window "$wid" 321 63 click 1   # Radio
sleep 1
xdotool mousemove --window "$wid" 905 115 click 1  # 106.2
a=$(now)
c0=$(cpu_ticks)
sleep 6
c1=$(cpu_ticks)
xdotool mousemove --window "$wid" 448 115 click 1  # 101.2
b=$(now)
sleep 6
e=$(now)
import -window "$wid" "$out/qv01_fm.png"
hl_record_stop
hl_kill "$app"
sox -q -t raw -r 44100 -c 2 -b 16 -e signed-integer -L "$out/rec.raw" "$out/rec.wav"

check() {  # station, from, to, tones
  local m
  m=$("$build/tools/qv-wav-measure" --margin 0 --from "$2" --to "$3" --tones "$4" "$out/rec.wav") \
      || fail "$1 MHz: no audio between $2 and $3 s"
  local f snr level
  f=$(awk '/^frequency_hz/ {print $2}' <<<"$m")
  snr=$(awk '/^snr_db/ {print $2}' <<<"$m")
  level=$(awk '/^rms_dbfs/ {print $2}' <<<"$m")
  echo "$1 MHz: dominant $f Hz, level $level dBFS RMS, SNR $snr dB (tones $4)"
  local ok=0 t
  for t in ${4//,/ }; do
    awk -v f="$f" -v t="$t" 'BEGIN {exit !(f > t * 0.99 && f < t * 1.01)}' && ok=1
  done
  [ $ok = 1 ] || fail "$1 MHz: dominant frequency $f Hz is none of $4"
  awk -v s="$snr" 'BEGIN {exit !(s >= 30)}' || fail "$1 MHz: SNR $snr dB below 30 dB"
}
# Skip the first 1.5 s after each click: retuning, filters settling, audio latency.
check 106.2 "$(echo "$a + 1.5" | bc)" "$b" 261.63,329.63,392.00
check 101.2 "$(echo "$b + 1.5" | bc)" "$e" 440,659.26
hz=$(getconf CLK_TCK)
echo "GUI thread CPU while playing: $(echo "scale=1; 100 * ($c1 - $c0) / $hz / 6" | bc) % of one core"
[ "$keep" = 1 ] || rm -rf "$out"
echo PASS
