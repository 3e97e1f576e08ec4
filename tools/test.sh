#!/usr/bin/env bash
# Builds everything and runs every test: installs missing Debian packages,
# configures build/ (or the folder QV_BUILD_DIR names), builds, and runs
# CTest; arguments go to CTest. Exit status 0 only when all pass.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
bash tools/setup.sh
build=${QV_BUILD_DIR:-build}
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j"$(nproc)"
cd "$build"
ctest --output-on-failure -j"$(nproc)" "$@"
