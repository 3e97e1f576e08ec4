#!/usr/bin/env bash
# Builds the configuration scanner's fuzz target with clang and runs it for
# SECONDS seconds (default 60) on a copy of the seed corpus. Exit status 0
# when no fault was found; a crashing input is left in the build directory
# (crash-*) and should be added to corpus/ once fixed.
# Usage: config_lang/fuzz/run_fuzz.sh [SECONDS]
set -euo pipefail
seconds=${1:-60}
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
build="$root/build-fuzz-config"
CXX=clang++ cmake -S "$here" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build"
work="$build/corpus"
mkdir -p "$work"
cp -n "$here"/corpus/* "$work"/ 2>/dev/null || true
cd "$build"
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
./config_scanner_fuzz -max_total_time="$seconds" -max_len=40000 -timeout=10 \
  -dict="$here/config.dict" -print_final_stats=1 "$work"
