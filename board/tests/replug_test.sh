#!/usr/bin/env bash
# A program on the real libusb-1.0 under qv-virtual-board --unplug-after/--replug-after
# sees its board lost and opens it again (firmware downloaded anew).
# Usage: replug_test.sh LAUNCHER PROBE PROTO_HEX
set -u
launcher=$1 probe=$2 hex=$3
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
fail() { echo "FAIL: $*"; exit 1; }
mkdir -p "$tmp/fw" "$tmp/run" && cp "$hex" "$tmp/fw/proto.hex" || fail "no firmware image at $hex"
cd "$tmp/run" || fail "cd"

out=$("$launcher" --trace trace.txt --pattern counter --unplug-after 0.5 --replug-after 0.5 -- "$probe") \
  || fail "probe failed ($?): $out"
echo "$out"
# "thread created" comes from each board's stream thread, in its own time.
steps=$(grep -v -x 'thread created' <<<"$out")
[[ $steps == $'err: 0, 1\nopened fw 01003A30\nlost\nerr: 0, 1\nreopened fw 01003A30 chip 5101' ]] \
  || fail "unexpected probe output: $out"
# The firmware went down twice: two CPU releases, each after a reset.
[[ $(grep -cx 'ctrl 40 a0 e600 0000 : 00' trace.txt) == 2 ]] || fail "firmware not downloaded again"
echo PASS
