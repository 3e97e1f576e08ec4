#!/usr/bin/env bash
# Measures the pitch a program plays over a long headless run: qv01_fm (or
# tunerdesk with --classic) from a given build directory on the virtual board
# with the one-tone scene (a 440 Hz tone at 100.9 MHz), optionally with busy
# loops on the machine and a stall of the program's GUI thread, recorded from
# a PulseAudio null sink and measured with qv-pitch.
#
#   tools/pitch_run.sh BUILD_DIR [--classic] [--seconds S] [--busy N]
#                      [--stall-at S] [--stall-for S] [--window S] [--out DIR]
#                      [-- virtual board options]
#
# --busy N     N busy loops run from before the program starts to its end.
# --stall-at S stops only the GUI thread (gdb in non-stop mode) S seconds after
#              the preset click, for --stall-for seconds (default 1).
# Writes DIR/NAME.wav, DIR/NAME.log and DIR/pitch.txt (qv-pitch's report, with
# 1-s windows and the first 5 s after the tone appeared left out of the summary)
# and prints the summary and, with a stall, the time after it until the pitch
# stays within 0.2 %. Needs BUILD_DIR to hold the program, the virtual board
# and qv-pitch.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
[ $# -ge 1 ] || { sed -n '2,19p' "$0"; exit 2; }
build=$(cd "$1" && pwd)
shift
classic=0
seconds=30
busy=0
stall_at=""
stall_for=1
window=1
out=/tmp/pitch-run
vb_opts=()
while [ $# -gt 0 ]; do
  case "$1" in
    --classic) classic=1 ;;
    --seconds) seconds=$2; shift ;;
    --busy) busy=$2; shift ;;
    --stall-at) stall_at=$2; shift ;;
    --stall-for) stall_for=$2; shift ;;
    --window) window=$2; shift ;;
    --out) out=$2; shift ;;
    --) shift; vb_opts=("$@"); break ;;
    *) echo "pitch_run.sh: unknown option $1" >&2; exit 2 ;;
  esac
  shift
done
scene="$root/qt_frontend/tests/scenes/steady_tone.ini"
if [ "$classic" = 1 ]; then
  name=tunerdesk; program="$build/classic_frontend/tunerdesk"; workdir="$root/run/tunerdesk"
  vb_setup=(--clock-hz 40000000 --scene "$scene"); title="Quorvane FM demo"
  connect_xy=(48 44); radio_xy=(136 44); preset_xy=(61 156)
else
  name=qv01_fm; program="$build/qt_frontend/qv01_fm"; workdir="$root/run"
  vb_setup=(--scene "$scene"); title=QV01_FM
  connect_xy=(128 66); radio_xy=(321 63); preset_xy=(334 115)
fi
for f in "$program" "$build/virtual_board/qv-virtual-board" "$build/tools/qv-pitch"; do
  [ -x "$f" ] || { echo "pitch_run.sh: $f is not built" >&2; exit 2; }
done
mkdir -p "$out"

# shellcheck source=tools/headless_lib.sh
source "$root/tools/headless_lib.sh"
hl_start
for ((i = 0; i < busy; i++)); do
  sh -c 'while :; do :; done' &
  HL_PIDS+=($!)
done
hl_record_start "$out/$name.raw"
t0=$(date +%s.%N)
cd "$workdir"
"$build/virtual_board/qv-virtual-board" "${vb_setup[@]}" "${vb_opts[@]}" -- "$program" \
    >"$out/$name.log" 2>&1 &
app=$!
HL_PIDS+=($app)
wid=$(hl_wait_window "$title" 60)
[ -n "$wid" ] || { echo "pitch_run.sh: no $name window" >&2; cat "$out/$name.log" >&2; exit 1; }
sleep 1
xdotool mousemove --window "$wid" "${connect_xy[@]}" click 1
sleep 0.5
xdotool mousemove --window "$wid" "${radio_xy[@]}" click 1
sleep 1.5
xdotool mousemove --window "$wid" "${preset_xy[@]}" click 1
t_click=$(echo "$(date +%s.%N) - $t0" | bc)
if [ -n "$stall_at" ]; then
  sleep "$stall_at"
  t_stall=$(echo "$(date +%s.%N) - $t0" | bc)
  # Non-stop mode: only the interrupted thread (the GUI thread, whose id is
  # the process id) stops; the stream thread and the audio threads run on.
  timeout 60 gdb -q -n -batch -ex 'set non-stop on' -ex "attach $app &" -ex 'thread 1' \
      -ex 'interrupt' -ex "shell sleep $stall_for" -ex 'continue' -ex 'detach' \
      >"$out/gdb.log" 2>&1 || echo "pitch_run.sh: gdb failed (see $out/gdb.log)" >&2
  rest=$(echo "$seconds - $stall_at" | bc)
  sleep "${rest#-}"
else
  sleep "$seconds"
fi
hl_record_stop
hl_kill "$app"
sox -q -t raw -r 44100 -c 2 -b 16 -e signed-integer -L "$out/$name.raw" "$out/$name.wav"
rm -f "$out/$name.raw"
"$build/tools/qv-pitch" --expect 440 --window "$window" --skip 5 "$out/$name.wav" >"$out/pitch.txt" || true
echo "$name: preset clicked at ${t_click} s of the recording (log: $out/$name.log)"
grep -E '^(first_tone_s|windows|gaps|median_abs_error_pct|max_abs_error_pct|mean_error_pct) ' "$out/pitch.txt"
if [ -n "$stall_at" ]; then
  # First window start after the stall from which every window is within 0.2 %.
  awk -v s="$t_stall" -v d="$stall_for" '
    $1 == "w" && $2 >= s { n++; t[n] = $2; ok[n] = ($4 != "-" && $4 <= 0.2 && $4 >= -0.2) }
    END { back = -1; for (i = n; i >= 1 && ok[i]; i--) back = t[i];
          if (back < 0) print "stall at " s " s: pitch not back within 0.2 % by the end";
          else printf "stall at %.1f s for %s s: pitch within 0.2 %% from %.1f s after the stall ended\n", s, d, back - s - d }' \
      "$out/pitch.txt"
fi
echo "windows: $out/pitch.txt"
