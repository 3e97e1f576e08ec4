#!/usr/bin/env bash
# qv01_fm end to end, as a user would run it: the program on the virtual board
# under Xvfb, its audio going to a PulseAudio null sink that is recorded.
# Connect, Radio, preset 106.2 MHz, then preset 101.2 MHz; after each preset
# the recording must come to play that station's tones (as the built-in scene
# lists them; dominant within 1 %, SNR >= 30 dB over 3 s) within a generous
# time-out. Also checks that the window is 992 x 751 and cannot be resized,
# and prints the GUI thread's CPU share while playing.
# Usage: e2e_qv01_fm.sh BUILD_DIR SOURCE_DIR [OUT_DIR]
set -euo pipefail
build=$1
src=$2
keep=1
[ -n "${3:-}" ] || keep=0
out=${3:-$(mktemp -d /tmp/qv01_e2e.XXXXXX)}
mkdir -p "$out"
fail() {
  echo "FAIL: $*"
  [ -s "$out/rec.raw" ] && sox -q -t raw -r 44100 -c 2 -b 16 -e signed-integer -L "$out/rec.raw" "$out/rec.wav"
  echo "(recording and log in $out)"
  exit 1
}
measure=$build/tools/qv-wav-measure

# shellcheck source=../../tools/headless_lib.sh
source "$src/tools/headless_lib.sh"
hl_start
hl_record_start "$out/rec.raw" || fail "the recorder did not start"

cd "$src/run"
"$build/virtual_board/qv-virtual-board" -- "$build/qt_frontend/qv01_fm" >"$out/app.log" 2>&1 &
app=$!
HL_PIDS+=("$app")
wid=$(hl_wait_window QV01_FM 60 "$app") || fail "no window (log: $(tail -n 5 "$out/app.log"))"

geometry() { xdotool getwindowgeometry "$wid" | awk '/Geometry/ {print $2}'; }
full_size() { [ "$(geometry)" = 992x751 ]; }
hl_wait_cmd 20 "$app" full_size >/dev/null || fail "window is $(geometry), not 992x751"
# Not resizable: the window tells the window manager min size = max size.
hints=$(xprop -id "$wid" WM_NORMAL_HINTS)
grep -q "minimum size: 992 by 751" <<<"$hints" || fail "minimum size hint: $hints"
grep -q "maximum size: 992 by 751" <<<"$hints" || fail "maximum size hint: $hints"

cpu_ticks() { awk '{print $14 + $15}' "/proc/$app/task/$app/stat"; }

# Clicks the preset at x, then waits until the recording from there on holds
# 3 s of the station's tones.
tune() {  # station, x
  xdotool mousemove --window "$wid" "$2" 115 click 1
  local from m rc=0
  from=$(hl_rec_seconds "$out/rec.raw")
  m=$(hl_wait_cmd 90 "$app" "$measure" --raw --from "$from" --window 3 --min-snr 30 --station "$1" \
      "$out/rec.raw") || rc=$?
  [ $rc != 2 ] || fail "$1 MHz: qv01_fm ended (log: $(tail -n 5 "$out/app.log"))"
  local f snr level at
  f=$(awk '/^frequency_hz/ {print $2}' <<<"$m")
  snr=$(awk '/^snr_db/ {print $2}' <<<"$m")
  level=$(awk '/^rms_dbfs/ {print $2}' <<<"$m")
  at=$(awk -v f="$from" '/^start_s/ {printf "%.1f", $2 - f}' <<<"$m")
  [ $rc = 0 ] || fail "$1 MHz: no 3 s of the station's tones with SNR >= 30 dB within 90 s; closest: $(tr '\n' ' ' <<<"$m")"
  echo "$1 MHz: dominant $f Hz, level $level dBFS RMS, SNR $snr dB, from ${at} s after the click" \
       "(tones $(awk '/^tones_hz/ {print $2}' <<<"$m"))"
}

xdotool mousemove --window "$wid" 128 66 click 1   # Connect
xdotool mousemove --window "$wid" 321 63 click 1   # Radio
tune 106.2 905
c0=$(cpu_ticks)
s0=$(date +%s.%N)
tune 101.2 448
c1=$(cpu_ticks)
s1=$(date +%s.%N)
import -window "$wid" "$out/qv01_fm.png"
hl_record_stop
hl_kill "$app"
hz=$(getconf CLK_TCK)
echo "GUI thread CPU while playing: $(echo "scale=1; 100 * ($c1 - $c0) / $hz / ($s1 - $s0)" | bc) % of one core"
[ "$keep" = 1 ] || rm -rf "$out"
echo PASS
