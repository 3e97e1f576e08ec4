#!/usr/bin/env bash
# Builds the Debian package of the programs: configures a build folder for
# /usr (build-pkg/, or the one given) with Debian's build flags (hardening),
# builds what is installed, runs cpack -G DEB and lintian on the result, and
# prints the package's path. Exit status 0 when the package was built and
# lintian reports no error.
#   tools/package.sh [BUILD_DIR]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
case "${1:-}" in -h|--help) sed -n '2,7p' "$0"; exit 0 ;; -*) echo "usage: tools/package.sh [BUILD_DIR]" >&2; exit 2 ;; esac
build=${1:-build-pkg}
bash tools/setup.sh
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
      -DQV_BUILD_BENCH=OFF \
      -DCMAKE_C_FLAGS="$(dpkg-buildflags --get CFLAGS) $(dpkg-buildflags --get CPPFLAGS)" \
      -DCMAKE_CXX_FLAGS="$(dpkg-buildflags --get CXXFLAGS) $(dpkg-buildflags --get CPPFLAGS)" \
      -DCMAKE_EXE_LINKER_FLAGS="$(dpkg-buildflags --get LDFLAGS)" \
      -DCMAKE_SHARED_LINKER_FLAGS="$(dpkg-buildflags --get LDFLAGS)" \
      -DCMAKE_MODULE_LINKER_FLAGS="$(dpkg-buildflags --get LDFLAGS)" >/dev/null
cmake --build "$build" -j"$(nproc)" --target qv_installed
(cd "$build" && cpack -G DEB)
deb=$(ls -t "$build"/qv01_*.deb | head -n 1)
echo "lintian $deb:"
lintian --fail-on error --display-info "$deb"
echo "package: $deb"
