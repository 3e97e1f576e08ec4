#!/usr/bin/env bash
# The main job: builds what is missing and runs qv01_fm on the virtual board
# from the programs' working directory (run/), where "../fw/proto.hex" and
# "../config/FM_radio.ini" are the project's own files. With --classic it runs
# tunerdesk instead, from run/tunerdesk/ on a 40 MHz virtual board.
#
# With a display it opens the window. Without one (or with --headless) it runs
# a demonstration under Xvfb with a private PulseAudio null sink: Connect,
# Radio, a preset; it waits until the recording plays the preset station's
# tones (as the scene in use lists them), records S seconds more, writes the
# recorded audio (WAV), a screenshot (PNG) and the measurement into the output
# folder and prints the station, the audio's dominant frequency, its levels
# and its SNR against the station's tones, or "no station" when the recording
# never played them.
#
#   tools/run.sh [--classic] [--headless] [--preset N] [--seconds S] [--out DIR] [-- virtual board options]
#
#   --preset N    1..6 (qv01_fm: 100.9 101.2 103.5 103.7 105.7 106.2 MHz, default 3)
#                 1..5 (tunerdesk: 100.9 101.2 103.7 105.7 106.2 MHz, default 3)
#   --seconds S   seconds of the station to record, default 10
#   --out DIR     output folder, default out/ in the repository
# Paths (--out, and --scene or --trace of the virtual board) are taken relative
# to the directory run.sh is called from. Exit status: 0 the station played,
# 1 the program or launcher failed or the recording is not the station, 2 usage.
# QV_BUILD_DIR names another build folder than build/; QV_RUN_BUILD=0 skips
# the set-up and the build (the tests run it so, on their own build).
set -euo pipefail
caller_dir=$(pwd)
root=$(cd "$(dirname "$0")/.." && pwd)
build_dir=${QV_BUILD_DIR:-build}
case "$build_dir" in /*) ;; *) build_dir="$root/$build_dir" ;; esac

usage() {
  [ -z "${1:-}" ] || echo "run.sh: $1" >&2
  echo "usage: tools/run.sh [--classic] [--headless] [--preset N] [--seconds S] [--out DIR] [-- virtual board options]" >&2
  exit 2
}
absolute() { case "$1" in /*) echo "$1" ;; *) echo "$caller_dir/$1" ;; esac; }

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
    --preset|--seconds|--out)
      [ $# -ge 2 ] || usage "$1 needs a value"
      case "$1" in
        --preset) preset=$2 ;;
        --seconds) seconds=$2 ;;
        --out) [ -n "$2" ] || usage "--out needs a folder"; out=$(absolute "$2") ;;
      esac
      shift ;;
    --) shift
      # The launcher's paths, relative to the caller rather than to the
      # program's working directory.
      while [ $# -gt 0 ]; do
        case "$1" in
          --scene|--trace) [ $# -ge 2 ] || usage "$1 needs a value"
            vb_opts+=("$1" "$(absolute "$2")"); shift ;;
          *) vb_opts+=("$1") ;;
        esac
        shift
      done
      break ;;
    -h|--help) sed -n '2,28p' "$0"; exit 0 ;;
    *) usage "unknown option $1" ;;
  esac
  shift
done
[ -n "${DISPLAY:-}" ] || headless=1
[[ "$seconds" =~ ^[0-9]+([.][0-9]*)?$ ]] && awk -v s="$seconds" 'BEGIN { exit !(s > 0 && s <= 3600) }' \
  || usage "--seconds takes a number of seconds above 0 (at most 3600)"

cd "$root"
# Per program: target, working directory, virtual board set-up, window title,
# and the window coordinates of Connect, Radio and the presets.
if [ "$classic" = 1 ]; then
  name=tunerdesk
  target=tunerdesk
  program=$build_dir/classic_frontend/tunerdesk
  workdir=$root/run/tunerdesk
  vb_setup=(--clock-hz 40000000 --scene "$workdir/scene_40mhz.ini")
  title="Quorvane FM demo"
  connect_xy=(48 44)
  radio_xy=(136 44)
  presets=(100.9 101.2 103.7 105.7 106.2)
  preset_x=(61 61 61 61 61)
  preset_y=(156 180 204 228 252)
else
  name=qv01_fm
  target=qv01_fm
  program=$build_dir/qt_frontend/qv01_fm
  workdir=$root/run
  vb_setup=()
  title=QV01_FM
  connect_xy=(128 66)
  radio_xy=(321 63)
  presets=(100.9 101.2 103.5 103.7 105.7 106.2)
  preset_x=(334 448 562 676 791 905)
  preset_y=(115 115 115 115 115 115)
fi
[[ "$preset" =~ ^[0-9]+$ ]] && [ "$preset" -ge 1 ] && [ "$preset" -le ${#presets[@]} ] \
  || usage "--preset takes 1..${#presets[@]} for $name"

if [ "${QV_RUN_BUILD:-1}" != 0 ]; then
  bash tools/setup.sh
  cmake -S . -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  cmake --build "$build_dir" -j"$(nproc)" --target "$target" qv-virtual-board qv_virtual_board qv-wav-measure
fi

launcher="$build_dir/virtual_board/qv-virtual-board"
measure="$build_dir/tools/qv-wav-measure"
# The launcher checks its options (and reads the scene) before it starts a
# program: let it refuse them now, before anything else starts.
"$launcher" "${vb_setup[@]}" "${vb_opts[@]}" -- true || { echo "run.sh: the virtual board options were refused" >&2; exit 2; }
if [ "$headless" = 0 ]; then
  cd "$workdir"
  exec "$launcher" "${vb_setup[@]}" "${vb_opts[@]}" -- "$program"
fi

# The scene the board plays: the last --scene given, else QV_VIRTUAL_SCENE, else the built-in one.
scene=${QV_VIRTUAL_SCENE:-}
opts=("${vb_setup[@]}" "${vb_opts[@]}")
for ((i = 0; i + 1 < ${#opts[@]}; i++)); do
  [ "${opts[$i]}" = --scene ] && scene=${opts[$((i + 1))]}
done
scene_opt=()
[ -z "$scene" ] || scene_opt=(--scene "$scene")
station=${presets[$((preset - 1))]}
# The station must be in the scene with tones to check the recording against.
if ! err=$("$measure" --station "$station" "${scene_opt[@]}" /dev/null 2>&1 >/dev/null) \
    && grep -q '^qv-wav-measure: ' <<<"$err"; then
  echo "run.sh: preset $preset: ${err#qv-wav-measure: }" >&2
  exit 2
fi

mkdir -p "$out" || { echo "run.sh: cannot create $out" >&2; exit 1; }
log="$out/$name.log"
raw="$out/$name.raw"
# shellcheck source=tools/headless_lib.sh
source tools/headless_lib.sh

app=""
# Ends the run with the program's own reason when it is gone.
program_ended() {
  local rc=0
  wait "$app" || rc=$?
  echo "run.sh: $name ended (exit status $rc) before the demonstration was over; its output ($log):" >&2
  tail -n 20 "$log" >&2
  exit 1
}
hl_start
hl_record_start "$raw" || { echo "run.sh: the recorder did not start" >&2; exit 1; }
cd "$workdir"
"$launcher" "${vb_setup[@]}" "${vb_opts[@]}" -- "$program" >"$log" 2>&1 &
app=$!
HL_PIDS+=("$app")
wid=$(hl_wait_window "$title" 60 "$app") || {
  [ $? = 2 ] && program_ended
  echo "run.sh: the $name window did not appear within 60 s (log: $log)" >&2
  exit 1
}
xdotool mousemove --window "$wid" "${connect_xy[@]}" click 1
xdotool mousemove --window "$wid" "${radio_xy[@]}" click 1
xdotool mousemove --window "$wid" "${preset_x[$((preset - 1))]}" "${preset_y[$((preset - 1))]}" click 1
clicked=$(hl_rec_seconds "$raw")

# The station is on once a second of the recording plays its tones; the
# measurement starts there.
status=0
found=$(hl_wait_cmd 30 "$app" "$measure" --raw --from "$clicked" --window 1 --min-snr 20 \
        --station "$station" "${scene_opt[@]}" "$raw") || status=$?
[ "$status" != 2 ] || program_ended
if [ "$status" = 0 ]; then
  from=$(awk '/^start_s/ { print $2 }' <<<"$found")
  to=$(awk -v f="$from" -v s="$seconds" 'BEGIN { printf "%.3f", f + s }')
  # The recording's own clock, not the wall clock, says when S seconds are in.
  end=$((SECONDS + ${seconds%.*} * 4 + 30))
  until awk -v t="$to" -v n="$(hl_rec_seconds "$raw")" 'BEGIN { exit !(n >= t + 0.1) }'; do
    hl_alive "$app" || program_ended
    [ "$SECONDS" -lt "$end" ] || { echo "run.sh: the recording stalled (log: $log)" >&2; exit 1; }
    sleep 0.2
  done
else
  from=$(awk -v c="$clicked" 'BEGIN { printf "%.3f", c + 1.5 }')
  to=-1
fi
hl_alive "$app" || program_ended
import -window "$wid" "$out/$name.png"
hl_record_stop
hl_kill "$app"
sox -q -t raw -r 44100 -c 2 -b 16 -e signed-integer -L "$raw" "$out/$name.wav"
rm -f "$raw"

rc=0
"$measure" --margin 0 --from "$from" --to "$to" --station "$station" "${scene_opt[@]}" "$out/$name.wav" \
    >"$out/measure.txt" 2>&1 || rc=$?
if [ "$rc" = 2 ]; then
  echo "run.sh: $(cat "$out/measure.txt")" >&2
  exit 1
fi
if [ "$rc" = 1 ] || [ "$status" != 0 ]; then
  echo "no station: the recording after the $station MHz preset does not play the station's tones"
  [ "$rc" = 1 ] && echo "no audio was recorded (log: $log)"
else
  awk '/^station_name/ { n = $2 } /^station_mhz/ { f = $2 } /^tones_hz/ { t = $2; gsub(",", " ", t) }
       END { printf "tuned station: %g MHz (%s, tones %s Hz)\n", f, n, t }' "$out/measure.txt"
fi
if [ "$rc" != 1 ]; then
  awk '/^frequency_hz/ { printf "dominant audio frequency: %.1f Hz\n", $2 }
       /^rms_dbfs/ { r = $2 } /^peak_dbfs/ { printf "audio level: %.1f dBFS RMS, peak %.1f dBFS\n", r, $2 }
       /^snr_db/ { printf "SNR against the station'"'"'s tones: %.1f dB\n", $2 }
       /^start_s/ { s = $2 } /^seconds/ { printf "measured: %.1f s from %.1f s of the recording\n", $2, s }' \
      "$out/measure.txt"
fi
echo "recording: $out/$name.wav"
echo "screenshot: $out/$name.png"
[ "$rc" = 0 ] && [ "$status" = 0 ]
