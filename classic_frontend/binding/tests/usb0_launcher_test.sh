#!/usr/bin/env bash
# qv-virtual-board runs an unchanged libusb-0.1 program (linked with -lusb)
# against the virtual board: the preloaded usb_* functions come first.
# Usage: usb0_launcher_test.sh LAUNCHER PROBE PROTO_HEX
set -u
launcher=$1 probe=$2 hex=$3
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
fail() { echo "FAIL: $*"; exit 1; }
cp "$hex" "$tmp/proto.hex" || fail "no firmware image at $hex"
cd "$tmp" || fail "cd $tmp"

ldd "$probe" | grep -q 'libusb-0\.1' || fail "probe is not linked with libusb-0.1"
ldd "$probe" | grep -q 'qv_virtual_board' && fail "probe is linked with the virtual board"

# Without the launcher the probe reaches the real libusb-0.1, where no board is.
err=$("$probe" 2>&1 >/dev/null) && fail "probe found a board without the launcher"
[[ $err == $'not found\nBye!' ]] || fail "unexpected messages without a board: $err"

out=$("$launcher" --trace trace.txt --pattern counter -- "$probe") || fail "probe failed ($?): $out"
echo "$out"
[[ $out == $'err: 0, 1\nfw 01003A30 chip 5101 block 0..4095' ]] || fail "unexpected probe output: $out"
head -2 trace.txt | diff - <(printf 'open 04b4 8613\nctrl 40 a0 e600 0000 : 01\n') || fail "trace start"
grep -A4 -x 'ctrl 40 a0 e600 0000 : 00' trace.txt \
  | diff - <(printf 'ctrl 40 a0 e600 0000 : 00\nconfig 1\nclaim 0\naltsetting 0 1\nout 01 : 00 00 00 00\n') \
  || fail "trace of the bring-up"
grep -qx 'out 01 : 01 00 00 00 0d 00' trace.txt || fail "trace lacks the classic command 1"
tail -1 trace.txt | grep -qx close || fail "trace end"

# Unplugged while streaming and plugged in again: the bus walk of the 0.1 face
# shows both, and the board is brought up again with its firmware.
out=$("$launcher" --trace replug.txt --pattern counter --unplug-after 1 --replug-after 0.5 \
      -- "$probe" replug 2>/dev/null) || fail "replug probe failed ($?): $out"
echo "$out"
[[ $out == $'err: 0, 1\nfw 01003A30 chip 5101 block 0..4095\nlost\nerr: 0, 1\nreconnected fw 01003A30 chip 5101' ]] \
  || fail "unexpected replug output: $out"
[[ $(grep -cx 'ctrl 40 a0 e600 0000 : 00' replug.txt) == 2 ]] || fail "firmware not downloaded again"
echo PASS
