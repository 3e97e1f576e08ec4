#!/usr/bin/env bash
# Builds the Intel HEX reader's fuzz target with clang and runs it for SECONDS
# seconds (default 60) on a copy of the seed corpus. Exit status 0 when no
# fault was found; a failing input is left in the build directory (crash-*,
# leak-*, timeout-*) and belongs in corpus/ once fixed. The build directory is
# build-fuzz-hex/ at the top of the tree, or $QV_FUZZ_BUILD_DIR.
# Usage: board/fuzz/run_fuzz.sh [SECONDS]
set -euo pipefail
seconds=${1:-60}
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
build=${QV_FUZZ_BUILD_DIR:-"$root/build-fuzz-hex"}
CXX=clang++ cmake -S "$here" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build"
work="$build/corpus"
mkdir -p "$work"
cp -n "$here"/corpus/* "$work"/ 2>/dev/null || true
cd "$build"
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
# The reader's own lines ("err: 0, 1", firmware file sentences) are closed
# off; libFuzzer and the sanitizers keep their output.
./hex_record_fuzz -max_total_time="$seconds" -max_len=4096 -timeout=10 -close_fd_mask=3 \
  -dict="$here/hex.dict" -print_final_stats=1 "$work"
