#!/usr/bin/env bash
# The installation as a user gets it: `cmake --install` of BUILD_DIR into a
# temporary DESTDIR with prefix /usr (BUILD_DIR itself is configured for
# another), then the installed programs run from there.
#   - every program installed by qv_install_program (BUILD_DIR/packaging/
#     installed_programs.txt) and the launch scripts answer --version; a
#     wrong option gives a usage message and rc 2
#   - no installed program keeps a run path into the build tree
#   - qvconf on the installed configurations (qv01_fm's and tunerdesk's)
#   - desktop entries valid; every man page (installed_man_pages.txt) is
#     there, names the installation's own paths and renders without warnings
#   - the launch script's working directory: links to the packaged files, the
#     user's own files kept, the maker's firmware found per user, the
#     prototype with --virtual
#   - qvconf --board on the installed virtual board: the board, and the
#     permission message when it may not be opened
#   - qv01-fm --virtual under Xvfb with a recorded PulseAudio null sink:
#     Connect, Radio, the default preset (103.5 MHz) must play the station's
#     tones (measured as the end-to-end test does)
# Usage: installed_programs_test.sh BUILD_DIR SOURCE_DIR
set -euo pipefail
build=$1
src=$2
tmp=$(mktemp -d /tmp/qv_installed.XXXXXX)
fail() {
  echo "FAIL: $*"
  [ -n "${keep_log:-}" ] && [ -s "$keep_log" ] && tail -n 20 "$keep_log"
  exit 1
}
# shellcheck source=../../tools/headless_lib.sh
source "$src/tools/headless_lib.sh"
cleanup() { hl_stop; rm -rf "$tmp"; }
trap cleanup EXIT

DESTDIR=$tmp/dest cmake --install "$build" --prefix /usr >"$tmp/install.log" 2>&1 ||
  { cat "$tmp/install.log"; fail "cmake --install"; }
root=$tmp/dest/usr
bin=$root/bin
share=$root/share/qv01
# A user of their own, with the default data folder.
export HOME=$tmp/home
unset XDG_DATA_HOME
work=$HOME/.local/share/qv01

# Versions, refusals, run paths.
mapfile -t programs <"$build/packaging/installed_programs.txt"
for p in "${programs[@]}" qv01-fm:qv01_fm tunerdesk-run:tunerdesk; do
  name=${p%%:*}
  [ -x "$bin/$name" ] || fail "$name not installed"
  v=$("$bin/$name" --version) || fail "$name --version: rc $?"
  [[ "$v" =~ ^${p##*:}\ [0-9]+\.[0-9]+ ]] || fail "$name --version: $v"
  echo "$name --version: $v"
  rc=0
  "$bin/$name" --no-such-option >/dev/null 2>"$tmp/err" || rc=$?
  [ "$rc" = 2 ] && grep -q usage "$tmp/err" || fail "$name --no-such-option: rc $rc, $(cat "$tmp/err")"
done
for f in "$bin"/* "$root"/lib*/qv01/* "$root"/lib/*/qv01/*; do
  [ -f "$f" ] && ! [ -L "$f" ] && readelf -h "$f" >/dev/null 2>&1 || continue
  ! readelf -d "$f" | grep -E 'R(UN)?PATH' | grep -q "$build" || fail "$f keeps a run path into $build"
done

# qvconf on the packaged configurations, where their coefficient names lead.
(cd "$share/config" && "$bin/qvconf" FM_radio.ini >"$tmp/conf.out") || fail "qvconf config/FM_radio.ini: rc $?"
grep -q "struct QV_reg_ config \[\] ={" "$tmp/conf.out" || fail "qvconf printed no register dump"
(cd "$share/tunerdesk" && "$bin/qvconf" FM_radio.ini >/dev/null) || fail "qvconf tunerdesk/FM_radio.ini: rc $?"
echo "qvconf: both installed configurations clean"

# Desktop entries and man pages.
desktop-file-validate "$root"/share/applications/*.desktop || fail "desktop-file-validate"
while read -r name; do
  page=$root/share/man/man1/$name.1.gz
  [ -f "$page" ] || fail "no man page $name.1.gz"
  ! zgrep -q '@[A-Z_]*@' "$page" || fail "$name.1: $(zgrep '@[A-Z_]*@' "$page")"
  out=$(MAN_KEEP_STDERR=1 MANWIDTH=80 man --warnings=all -l "$page" 2>&1 >/dev/null) || fail "man -l $page"
  [ -z "$out" ] || fail "man -l $page: $out"
done <"$build/packaging/installed_man_pages.txt"
zgrep -q '^\.IR /usr/share/qv01/fw/proto.hex' "$root/share/man/man1/qv01_fm.1.gz" ||
  fail "qv01_fm.1 does not name the installed firmware image"
echo "man pages: $(ls "$root"/share/man/man1 | tr '\n' ' ')"

# The launch script's working directory.
dir=$("$bin/qv01-fm" --virtual --prepare) || fail "qv01-fm --prepare: rc $?"
[ "$dir" = "$work/run" ] || fail "working directory $dir, not $work/run"
[ "$(readlink -f "$work/fw/proto.hex")" = "$(readlink -f "$share/fw/proto.hex")" ] || fail "fw/proto.hex: $(ls -l "$work/fw")"
[ "$(readlink -f "$work/config/dfir1.txt")" = "$(readlink -f "$share/config/dfir1.txt")" ] || fail "config/dfir1.txt not linked"
# The user's own configuration: a file kept beside the working directories,
# linked in its place.
mkdir -p "$work/mine" && cp "$share/config/FM_radio.ini" "$work/mine/FM_radio.ini"
ln -sfn "$work/mine/FM_radio.ini" "$work/config/FM_radio.ini"
mkdir -p "$work/firmware" && cp "$share/fw/proto.hex" "$work/firmware/qv01-fx2.hex"
"$bin/qv01-fm" --prepare >/dev/null 2>"$tmp/err" || fail "qv01-fm --prepare: $(cat "$tmp/err")"
[ "$(readlink "$work/fw/proto.hex")" = "$work/firmware/qv01-fx2.hex" ] || fail "the maker's firmware is not linked: $(ls -l "$work/fw")"
[ "$(readlink "$work/config/FM_radio.ini")" = "$work/mine/FM_radio.ini" ] ||
  fail "the user's own FM_radio.ini was replaced: $(ls -l "$work/config/FM_radio.ini")"
rm "$work/firmware/qv01-fx2.hex"
"$bin/qv01-fm" --prepare >/dev/null 2>"$tmp/err"
grep -q "only the virtual board understands" "$tmp/err" || fail "no word on the missing firmware: $(cat "$tmp/err")"
"$bin/qv01-fm" --virtual --prepare >/dev/null
tdir=$("$bin/tunerdesk-run" --virtual --prepare)
[ -L "$tdir/proto.hex" ] && [ -L "$tdir/scene_40mhz.ini" ] || fail "tunerdesk directory: $(ls -l "$tdir")"
echo "launch scripts: working directories laid out, the user's files kept"

# qvconf --board on the installed virtual board, with and without permission.
(cd "$work/run" && "$bin/qv-virtual-board" -- "$bin/qvconf" --board ../config/FM_radio.ini >/dev/null) ||
  fail "qvconf --board on the virtual board: rc $?"
rc=0
(cd "$work/run" && "$bin/qv-virtual-board" --deny-open -- "$bin/qvconf" --board ../config/FM_radio.ini \
  >/dev/null 2>"$tmp/err") || rc=$?
expected="No permission to open the USB device 04b4:8613 (bus 1 device 2): install the udev rule (see README) and plug the board in again"
[ "$rc" = 3 ] && grep -qF "$expected" "$tmp/err" || fail "qvconf --board without permission: rc $rc, $(cat "$tmp/err")"
echo "qvconf --board: $(cat "$tmp/err")"

# qv01_fm through its launch script on the virtual board, headless.
hl_start
trap cleanup EXIT  # hl_start sets its own
hl_record_start "$tmp/rec.raw" || fail "the recorder did not start"
keep_log=$tmp/app.log
"$bin/qv01-fm" --virtual >"$keep_log" 2>&1 &
app=$!
HL_PIDS+=("$app")
wid=$(hl_wait_window QV01_FM 60 "$app") || fail "no window"
xdotool mousemove --window "$wid" 128 66 click 1   # Connect
xdotool mousemove --window "$wid" 321 63 click 1   # Radio
xdotool mousemove --window "$wid" 562 115 click 1  # preset 3, 103.5 MHz
from=$(hl_rec_seconds "$tmp/rec.raw")
rc=0
m=$(hl_wait_cmd 90 "$app" "$build/tools/qv-wav-measure" --raw --from "$from" --window 3 --min-snr 30 \
    --station 103.5 "$tmp/rec.raw") || rc=$?
[ "$rc" != 2 ] || fail "qv01_fm ended"
[ "$rc" = 0 ] || fail "103.5 MHz: no 3 s of the station's tones with SNR >= 30 dB within 90 s: $(tr '\n' ' ' <<<"$m")"
[ -f "$work/run/config.c" ] || fail "no config.c in $work/run"
echo "installed qv01-fm --virtual, 103.5 MHz: dominant $(awk '/^frequency_hz/ {print $2}' <<<"$m") Hz," \
     "SNR $(awk '/^snr_db/ {print $2}' <<<"$m") dB"
hl_record_stop
hl_kill "$app"
echo PASS
