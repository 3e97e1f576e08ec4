#!/usr/bin/env bash
# The main job: builds what is missing and runs the board demo on the virtual
# board from the programs' working directory (run/), so that "../fw/proto.hex"
# and "../config/FM_radio.ini" resolve to the project's own files.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
bash tools/setup.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)" --target qv-virtual-board qv_virtual_board qv-board-demo
cd run
exec ../build/virtual_board/qv-virtual-board -- ../build/board/qv-board-demo "$@"
