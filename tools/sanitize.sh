#!/usr/bin/env bash
# Runs the non-GUI tests under AddressSanitizer+UBSan and under ThreadSanitizer,
# each in its own build tree (build-asan/, build-tsan/). Usage: tools/sanitize.sh [address|thread]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
bash tools/setup.sh
kinds=("${@:-address thread}")
# shellcheck disable=SC2206
kinds=(${kinds[*]})
for kind in "${kinds[@]}"; do
  case "$kind" in
    address) dir=build-asan ;;
    thread)  dir=build-tsan ;;
    *) echo "usage: $0 [address|thread]" >&2; exit 2 ;;
  esac
  echo "== $kind sanitizer: $dir"
  cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DQV_SANITIZE="$kind" \
        -DQV_BUILD_GUI=OFF -DQV_BUILD_BENCH=OFF >/dev/null
  cmake --build "$dir" -j"$(nproc)"
  export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
  export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
  export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1
  (cd "$dir" && ctest --output-on-failure -j"$(nproc)" -LE no_sanitizer)
done
