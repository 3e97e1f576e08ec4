#!/usr/bin/env bash
# qv-virtual-board checks every option and the scene before the program
# starts: status 2 and one message naming the problem (for a scene: file,
# line and key), scanner warnings on standard error; the board library itself
# refuses a bad scene with status 2, never aborting; good input still runs.
# Usage: launcher_checks_test.sh LAUNCHER PROBE
set -u
launcher=$1 probe=$2
library=$(dirname "$launcher")/libqv_virtual_board.so
here=$(cd "$(dirname "$0")" && pwd)
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
fails=0
fail() { echo "FAIL: $*"; fails=$((fails + 1)); }

cd "$tmp"
mkdir adir
mkfifo fifo.wav
printf '[A]\nfreq_mhz = 100\nwav_file = adir\n' >dir_wav.ini
printf '[A]\nfreq_mhz = 100\nwav_file = /dev/zero\n' >zero_wav.ini
printf '[A]\nfreq_mhz = 100\nwav_file = fifo.wav\n' >fifo_wav.ini
printf '[A]\nfreq_mhz = 1e300\n' >huge.ini
{ printf '[A]\nfreq_mhz = 100\ntones_hz = 440'; for i in $(seq 5000); do printf '/440'; done; printf '\n'; } >long.ini
for i in $(seq 0 1999); do printf '[S%d]\nfreq_mhz = 100\n' "$i"; done >many.ini
for i in $(seq 0 39); do printf '[S%d]\nfreq_mhz = 100\ntones_hz = %s\n' "$i" \
  "$(printf '440/%.0s' $(seq 15))440"; done >costly.ini
for i in $(seq 0 23); do printf '[S%d]\nfreq_mhz = 100\n' "$i"; done >busy.ini
printf '[A]\nfreq_mhz = 100;\n' >semicolon.ini

# Refused before the program runs: status 2, the reason on standard error.
# Each case: the options, then what the message must hold.
cases=(
  "--scene dir_wav.ini|dir_wav.ini, line 3, A.wav_file: WAV file $tmp/adir is a directory"
  "--scene zero_wav.ini|zero_wav.ini, line 3, A.wav_file: WAV file /dev/zero is not a regular file"
  "--scene fifo_wav.ini|fifo_wav.ini, line 3, A.wav_file: WAV file $tmp/fifo.wav is not a regular file"
  "--scene huge.ini|huge.ini, line 2, A.freq_mhz: \"1e300\" is outside 0.001 .. 1000"
  "--scene long.ini|long.ini, line 3, A.tones_hz: "
  "--scene many.ini|many.ini, line 130, S64: 2000 stations, at most 64"
  "--scene costly.ini|of one core for this scene at a 66 MHz clock (40 stations, 640 tones"
  "--clock-hz 200e6 --scene busy.ini|cannot keep up in real time"
  "--scene missing.ini|missing.ini cannot be read: No such file or directory"
  "--scene adir|adir is a directory"
  "--trace nodir/t.txt|--trace: cannot append to \"$tmp/nodir/t.txt\": No such file or directory"
  "--trace adir|--trace: cannot append to \"$tmp/adir\": Is a directory"
  "--ppm -1000000|--ppm takes a number from -1000 to 1000, not \"-1000000\""
  "--ppm 1e3x|--ppm takes a number from -1000 to 1000"
  "--clock-hz 1e300|--clock-hz takes a number of Hz from 1e+06 to 2e+08"
  "--clock-hz 999999|--clock-hz takes a number of Hz"
  "--unplug-after 1e300|--unplug-after takes a number of seconds from 0 to 86400"
  "--unplug-after 1 --replug-after 86401|--replug-after takes a number of seconds"
)
for c in "${cases[@]}"; do
  IFS=' ' read -r -a opts <<<"${c%%|*}"
  want=${c#*|}
  rm -f ran
  # A launcher that blocks (on a FIFO, say) fails here rather than hanging.
  err=$(timeout 30 "$launcher" "${opts[@]}" -- /bin/sh -c 'touch ran' 2>&1 >/dev/null)
  rc=$?
  [[ $rc == 2 ]] || fail "${opts[*]}: status $rc, not 2"
  [[ ! -e ran ]] || fail "${opts[*]}: the program ran"
  [[ $err == *"qv-virtual-board: "*"$want"* ]] || fail "${opts[*]}: message '$err' lacks '$want'"
done

# Scanner warnings reach standard error whatever standard output is.
err=$("$launcher" --scene semicolon.ini -- /bin/true 2>&1 >/dev/null) || fail "semicolon scene refused: $err"
[[ $err == *"warning: scene file $tmp/semicolon.ini: Unrecognized character: ;"* ]] \
  || fail "scanner warning not on standard error: '$err'"
# A scene near the real-time bound runs, with the reason for the warning.
err=$("$launcher" --scene busy.ini -- /bin/true 2>&1 >/dev/null) || fail "busy scene refused: $err"
[[ $err == *"warning: scene file $tmp/busy.ini: the chip model needs about"*"busy machine may not keep up"* ]] \
  || fail "no real-time warning: '$err'"

# Without the launcher the board library refuses the same scenes itself.
for scene in dir_wav.ini zero_wav.ini long.ini many.ini costly.ini; do
  err=$(QV_VIRTUAL_SCENE="$tmp/$scene" LD_PRELOAD="$library" timeout 30 "$probe" 2>&1 >/dev/null)
  rc=$?
  [[ $rc == 2 ]] || fail "library with $scene: status $rc, not 2"
  [[ $err == *"qv-virtual-board: scene "*"$scene"* ]] || fail "library with $scene: '$err'"
done

# Good input still reaches the board.
scene=$here/../model/scenes/default_scene.ini
out=$("$launcher" --scene "$scene" --ppm -1000 --clock-hz 66e6 --trace t.txt -- "$probe" 2>&1) \
  || fail "default scene refused: $out"
[[ $out == *"chip 5101 frame0"* ]] || fail "probe output with the default scene: $out"
grep -q '^open 04b4 8613$' t.txt || fail "no trace written"

[[ $fails == 0 ]] || exit 1
echo PASS
