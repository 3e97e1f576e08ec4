#!/usr/bin/env bash
# Builds the scene reader's fuzz target with clang and runs it for SECONDS
# seconds (default 60) on a copy of the seed corpus. Exit status 0 when no
# fault was found; a failing input is left in the build directory (crash-*,
# timeout-*, oom-*) and should be added to corpus/ once fixed. The build
# directory is build-fuzz-scene/ at the top of the tree, or $QV_FUZZ_BUILD_DIR.
# Usage: virtual_board/model/fuzz/run_fuzz.sh [SECONDS]
set -euo pipefail
seconds=${1:-60}
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../../.." && pwd)
build=${QV_FUZZ_BUILD_DIR:-"$root/build-fuzz-scene"}
CXX=clang++ cmake -S "$here" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build"
work="$build/corpus"
mkdir -p "$work"
cp -n "$here"/corpus/* "$work"/ 2>/dev/null || true
cd "$build"
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
# 64 KiB inputs hold the 2000-station and 20 kB-line seeds; a scene that
# reads for 10 s is a hang.
./scene_reader_fuzz -max_total_time="$seconds" -max_len=65536 -timeout=10 -rss_limit_mb=2048 \
  -dict="$here/scene.dict" -print_final_stats=1 "$work"
