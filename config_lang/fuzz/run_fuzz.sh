#!/usr/bin/env bash
# Builds the configuration language's fuzz targets with clang and runs one for
# SECONDS seconds (default 60) on a copy of its seed corpus: the scanner
# (default; corpus/) or the FIR coefficient file reader (coeff;
# coeff_corpus/). Exit status 0 when no fault was found; a failing input is
# left in the build directory (crash-*, leak-*, timeout-*) and belongs in the
# seed corpus once fixed. The build directory is build-fuzz-config/ at the top
# of the tree, or $QV_FUZZ_BUILD_DIR.
# Usage: config_lang/fuzz/run_fuzz.sh [SECONDS] [scanner|coeff]
set -euo pipefail
seconds=${1:-60}
which=${2:-scanner}
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
build=${QV_FUZZ_BUILD_DIR:-"$root/build-fuzz-config"}
case $which in
  scanner) target=config_scanner_fuzz corpus=corpus max_len=40000 dict=(-dict="$here/config.dict") ;;
  coeff) target=coeff_file_fuzz corpus=coeff_corpus max_len=4096 dict=() ;;
  *) echo "usage: $0 [SECONDS] [scanner|coeff]" >&2; exit 2 ;;
esac
CXX=clang++ cmake -S "$here" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" --target "$target"
work="$build/$corpus"
mkdir -p "$work"
cp -n "$here/$corpus"/* "$work"/ 2>/dev/null || true
cd "$build"
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
# The readers' own lines (unrecognized characters, where a load stopped) are
# closed off; libFuzzer and the sanitizers keep their output.
"./$target" -max_total_time="$seconds" -max_len="$max_len" -timeout=10 -close_fd_mask=3 \
  "${dict[@]}" -print_final_stats=1 "$work"
