#!/usr/bin/env bash
# The main job: builds what is missing and runs qv01_fm on the virtual board
# from the programs' working directory (run/), where "../fw/proto.hex" and
# "../config/FM_radio.ini" are the project's own files. With --classic it runs
# tunerdesk instead, from run/tunerdesk/ on a 40 MHz virtual board.
#
# With a display it opens the window. Without one (or with --headless) it runs
# a demonstration under Xvfb with a private PulseAudio null sink: Connect,
# Radio, a preset, some seconds of play; it writes the recorded audio (WAV) and
# a screenshot (PNG) into the output folder and prints the tuned station, the
# audio's dominant frequency and its level.
#
#   tools/run.sh [--classic] [--headless] [--preset N] [--seconds S] [--out DIR] [-- virtual board options]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

classic=0
headless=0
preset=3
seconds=10
out="$root/out"
vb_opts=()
while [ $# -gt 0 ]; do
  case "$1" in
    --classic) classic=1 ;;
    --headless) headless=1 ;;
    --preset) preset=$2; shift ;;
    --seconds) seconds=$2; shift ;;
    --out) out=$2; shift ;;
    --) shift; vb_opts=("$@"); break ;;
    -h|--help) sed -n '2,14p' "$0"; exit 0 ;;
    *) echo "run.sh: unknown option $1" >&2; exit 2 ;;
  esac
  shift
done
[ -n "${DISPLAY:-}" ] || headless=1

# Per program: target, working directory, virtual board set-up, window title,
# and the window coordinates of Connect, Radio and the presets.
if [ "$classic" = 1 ]; then
  name=tunerdesk
  target=tunerdesk
  program=build/classic_frontend/tunerdesk
  workdir=run/tunerdesk
  vb_setup=(--clock-hz 40000000 --scene scene_40mhz.ini)
  title="Quorvane FM demo"
  connect_xy=(48 44)
  radio_xy=(136 44)
  presets=(100.9 101.2 103.7 105.7 106.2)
  preset_x=(61 61 61 61 61)
  preset_y=(156 180 204 228 252)
else
  name=qv01_fm
  target=qv01_fm
  program=build/qt_frontend/qv01_fm
  workdir=run
  vb_setup=()
  title=QV01_FM
  connect_xy=(128 66)
  radio_xy=(321 63)
  presets=(100.9 101.2 103.5 103.7 105.7 106.2)
  preset_x=(334 448 562 676 791 905)
  preset_y=(115 115 115 115 115 115)
fi
if [ "$preset" -lt 1 ] || [ "$preset" -gt ${#presets[@]} ]; then
  echo "run.sh: --preset takes 1..${#presets[@]}" >&2
  exit 2
fi

bash tools/setup.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)" --target "$target" qv-virtual-board qv_virtual_board qv-wav-measure

launcher="$root/build/virtual_board/qv-virtual-board"
if [ "$headless" = 0 ]; then
  cd "$workdir"
  exec "$launcher" "${vb_setup[@]}" "${vb_opts[@]}" -- "$root/$program"
fi

station=${presets[$((preset - 1))]}
mkdir -p "$out"
# shellcheck source=tools/headless_lib.sh
source tools/headless_lib.sh
hl_start
hl_record_start "$out/$name.raw"
cd "$workdir"
"$launcher" "${vb_setup[@]}" "${vb_opts[@]}" -- "$root/$program" >"$out/$name.log" 2>&1 &
app=$!
HL_PIDS+=($app)
wid=$(hl_wait_window "$title" 30)
[ -n "$wid" ] || { echo "run.sh: the $name window did not appear" >&2; cat "$out/$name.log" >&2; exit 1; }
sleep 1
xdotool mousemove --window "$wid" "${connect_xy[@]}" click 1
sleep 0.5
xdotool mousemove --window "$wid" "${radio_xy[@]}" click 1
sleep 1
xdotool mousemove --window "$wid" "${preset_x[$((preset - 1))]}" "${preset_y[$((preset - 1))]}" click 1
sleep "$seconds"
import -window "$wid" "$out/$name.png"
hl_record_stop
hl_kill "$app"
sox -q -t raw -r 44100 -c 2 -b 16 -e signed-integer -L "$out/$name.raw" "$out/$name.wav"
rm -f "$out/$name.raw"
echo "tuned station: $station MHz"
if "$root/build/tools/qv-wav-measure" --margin 0.5 "$out/$name.wav" >"$out/measure.txt"; then
  awk '/^frequency_hz/ {printf "dominant audio frequency: %.1f Hz\n", $2}
       /^rms_dbfs/ {printf "audio level: %.1f dBFS RMS\n", $2}' "$out/measure.txt"
else
  echo "no audio was recorded (log: $out/$name.log)" >&2
  exit 1
fi
echo "recording: $out/$name.wav"
echo "screenshot: $out/$name.png"
