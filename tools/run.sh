#!/usr/bin/env bash
# The main job: builds what is missing and runs qv01_fm on the virtual board
# from the programs' working directory (run/), where "../fw/proto.hex" and
# "../config/FM_radio.ini" are the project's own files.
#
# With a display it opens the window. Without one (or with --headless) it runs
# a demonstration under Xvfb with a private PulseAudio null sink: Connect,
# Radio, a preset, some seconds of play; it writes the recorded audio (WAV) and
# a screenshot (PNG) into the output folder and prints the tuned station, the
# audio's dominant frequency and its level.
#
#   tools/run.sh [--headless] [--preset 1..6] [--seconds S] [--out DIR] [-- virtual board options]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

headless=0
preset=3
seconds=10
out="$root/out"
vb_opts=()
while [ $# -gt 0 ]; do
  case "$1" in
    --headless) headless=1 ;;
    --preset) preset=$2; shift ;;
    --seconds) seconds=$2; shift ;;
    --out) out=$2; shift ;;
    --) shift; vb_opts=("$@"); break ;;
    -h|--help) sed -n '2,13p' "$0"; exit 0 ;;
    *) echo "run.sh: unknown option $1" >&2; exit 2 ;;
  esac
  shift
done
[ -n "${DISPLAY:-}" ] || headless=1

bash tools/setup.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)" --target qv01_fm qv-virtual-board qv_virtual_board qv-wav-measure

if [ "$headless" = 0 ]; then
  cd run
  exec ../build/virtual_board/qv-virtual-board "${vb_opts[@]}" -- ../build/qt_frontend/qv01_fm
fi

# Window coordinates of the controls (the window is fixed at 992 x 751).
presets=(100.9 101.2 103.5 103.7 105.7 106.2)
preset_x=(334 448 562 676 791 905)
station=${presets[$((preset - 1))]}
mkdir -p "$out"
# shellcheck source=tools/headless_lib.sh
source tools/headless_lib.sh
hl_start
hl_record_start "$out/qv01_fm.raw"
cd run
../build/virtual_board/qv-virtual-board "${vb_opts[@]}" -- ../build/qt_frontend/qv01_fm \
    >"$out/qv01_fm.log" 2>&1 &
HL_PIDS+=($!)
app=$!
wid=$(hl_wait_window QV01_FM 30)
[ -n "$wid" ] || { echo "run.sh: the qv01_fm window did not appear" >&2; cat "$out/qv01_fm.log" >&2; exit 1; }
sleep 1
xdotool mousemove --window "$wid" 128 66 click 1                      # Connect
sleep 0.5
xdotool mousemove --window "$wid" 321 63 click 1                      # Radio
sleep 1
xdotool mousemove --window "$wid" "${preset_x[$((preset - 1))]}" 115 click 1   # preset
sleep "$seconds"
import -window "$wid" "$out/qv01_fm.png"
hl_record_stop
hl_kill "$app"
sox -q -t raw -r 44100 -c 2 -b 16 -e signed-integer -L "$out/qv01_fm.raw" "$out/qv01_fm.wav"
rm -f "$out/qv01_fm.raw"
echo "tuned station: $station MHz"
if ../build/tools/qv-wav-measure --margin 0.5 "$out/qv01_fm.wav" >"$out/measure.txt"; then
  awk '/^frequency_hz/ {printf "dominant audio frequency: %.1f Hz\n", $2}
       /^rms_dbfs/ {printf "audio level: %.1f dBFS RMS\n", $2}
       /^snr_db/ {printf "SNR: %.1f dB\n", $2}' "$out/measure.txt"
else
  echo "no audio was recorded" >&2
  exit 1
fi
echo "recording: $out/qv01_fm.wav"
echo "screenshot: $out/qv01_fm.png"
