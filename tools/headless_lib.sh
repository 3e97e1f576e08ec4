# shellcheck shell=bash
# Helpers for running the Qt programs without a display or a sound card:
# a private Xvfb and a private PulseAudio server with a null sink whose
# monitor can be recorded. Source this file from bash; call hl_start first and
# hl_stop (or let the EXIT trap do it) at the end.
#
#   hl_start            start Xvfb and PulseAudio; exports DISPLAY and PULSE_*
#   hl_record_start F   record the null sink's monitor into raw file F
#                       (16-bit little-endian stereo at 44.1 kHz, HL_REC_BYTES_PER_S)
#   hl_record_stop      stop the recorder
#   hl_rec_seconds F    seconds of audio recorded into F so far
#   hl_alive PID        whether process PID still runs (a zombie does not)
#   hl_wait_window T S [PID]
#                       wait up to S seconds for a visible window titled T; prints
#                       its id; returns 1 on time-out, 2 at once when PID ends
#   hl_wait_cmd S PID CMD...
#                       run CMD every half second until it succeeds (its output is
#                       printed); returns 1 after S seconds with the last output,
#                       2 at once when PID ends
#   hl_stop             stop everything started here, in reverse order
#
# The waits are generous: on a busy machine a program takes several times
# longer to start and to settle than on an idle one.

HL_PIDS=()
HL_DIR=""
HL_SINK=qvnull
HL_REC_BYTES_PER_S=176400

hl_log() { echo "headless: $*" >&2; }

hl_kill() {  # TERM, wait up to 3 s, then KILL; always reap
  local pid=$1
  kill -TERM "$pid" 2>/dev/null || return 0
  for _ in $(seq 30); do
    kill -0 "$pid" 2>/dev/null || { wait "$pid" 2>/dev/null || true; return 0; }
    sleep 0.1
  done
  kill -KILL "$pid" 2>/dev/null || true
  wait "$pid" 2>/dev/null || true
}

hl_stop() {
  local i
  for ((i=${#HL_PIDS[@]}-1; i>=0; i--)); do hl_kill "${HL_PIDS[$i]}"; done
  HL_PIDS=()
  [ -n "$HL_DIR" ] && rm -rf "$HL_DIR"
  HL_DIR=""
}

hl_start() {
  HL_DIR=$(mktemp -d /tmp/qvhl.XXXXXX)
  trap hl_stop EXIT

  # X server; -displayfd tells us the display number it picked.
  Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp -noreset 3>"$HL_DIR/display" \
      >"$HL_DIR/xvfb.log" 2>&1 &
  HL_PIDS+=("$!")
  for _ in $(seq 200); do [ -s "$HL_DIR/display" ] && break; sleep 0.1; done
  [ -s "$HL_DIR/display" ] || { hl_log "Xvfb did not start"; cat "$HL_DIR/xvfb.log" >&2; return 1; }
  export DISPLAY=":$(cat "$HL_DIR/display")"

  # PulseAudio with a null sink, anonymous access on a private socket.
  export XDG_RUNTIME_DIR="$HL_DIR"
  export PULSE_RUNTIME_PATH="$HL_DIR/pulse"
  export PULSE_STATE_PATH="$HL_DIR/pulse-state"
  export PULSE_SERVER="unix:$HL_DIR/native"
  export PULSE_COOKIE="$HL_DIR/cookie"
  export DBUS_SESSION_BUS_ADDRESS="unix:path=$HL_DIR/no-bus"
  mkdir -p "$PULSE_RUNTIME_PATH" "$PULSE_STATE_PATH"
  cat >"$HL_DIR/null.pa" <<PA
.fail
load-module module-null-sink sink_name=$HL_SINK rate=44100 channels=2
load-module module-native-protocol-unix socket=$HL_DIR/native auth-anonymous=1 auth-cookie-enabled=0
set-default-sink $HL_SINK
PA
  pulseaudio -n -F "$HL_DIR/null.pa" --daemonize=no --exit-idle-time=-1 --realtime=no \
      --high-priority=no --enable-memfd=no --log-target=stderr >"$HL_DIR/pulse.log" 2>&1 &
  HL_PIDS+=("$!")
  for _ in $(seq 200); do pactl info >/dev/null 2>&1 && break; sleep 0.1; done
  pactl info >/dev/null 2>&1 || { hl_log "PulseAudio did not start"; cat "$HL_DIR/pulse.log" >&2; return 1; }
  hl_log "display $DISPLAY, pulse $PULSE_SERVER"
}

hl_record_start() {
  local out=$1
  parec --device="$HL_SINK.monitor" --rate=44100 --channels=2 --format=s16le \
      --latency-msec=20 >"$out" 2>"$HL_DIR/parec.log" &
  HL_REC_PID=$!
  HL_PIDS+=("$HL_REC_PID")
  # An idle null sink renders in 2 s blocks: wait until the recorder really
  # runs (up to 20 s on a loaded machine).
  for _ in $(seq 400); do
    [ "$(stat -c %s "$out" 2>/dev/null || echo 0)" -gt 8820 ] && return 0
    sleep 0.05
  done
  hl_log "recorder did not start"; return 1
}

hl_record_stop() {
  [ -n "${HL_REC_PID:-}" ] || return 0
  kill -INT "$HL_REC_PID" 2>/dev/null || true
  wait "$HL_REC_PID" 2>/dev/null || true
  HL_REC_PID=""
}

hl_rec_seconds() {
  local n
  n=$(stat -c %s "$1" 2>/dev/null || echo 0)
  awk -v n="$n" -v r="$HL_REC_BYTES_PER_S" 'BEGIN { printf "%.3f\n", n / r }'
}

hl_alive() {
  local state
  state=$(sed 's/.*) //' "/proc/$1/stat" 2>/dev/null | cut -d' ' -f1)
  [ -n "$state" ] && [ "$state" != Z ]
}

hl_wait_window() {
  local title=$1 limit=${2:-20} pid=${3:-} wid end
  end=$((SECONDS + limit))
  while [ "$SECONDS" -le "$end" ]; do
    wid=$(xdotool search --onlyvisible --name "$title" 2>/dev/null | head -n 1 || true)
    [ -n "$wid" ] && { echo "$wid"; return 0; }
    [ -z "$pid" ] || hl_alive "$pid" || return 2
    sleep 0.2
  done
  return 1
}

hl_wait_cmd() {
  local limit=$1 pid=$2 end output
  shift 2
  end=$((SECONDS + limit))
  for (( ; ; )); do
    if output=$("$@" 2>&1); then
      printf '%s\n' "$output"
      return 0
    fi
    [ -z "$pid" ] || hl_alive "$pid" || { printf '%s\n' "$output"; return 2; }
    [ "$SECONDS" -lt "$end" ] || { printf '%s\n' "$output"; return 1; }
    sleep 0.5
  done
}
