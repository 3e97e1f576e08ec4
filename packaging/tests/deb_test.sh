#!/usr/bin/env bash
# The Debian package of BUILD_DIR (cpack -G DEB into a temporary folder): its
# contents hold every installed program with its man page, the launch
# scripts, the udev rule with 04b4:8613 and uaccess, the desktop entries,
# icons and the data; the man pages name /usr; Depends comes from the shared
# libraries; the maintainer scripts reload udev's rules; the programs run from
# the unpacked package; lintian reports no error (its whole output is
# printed). Skipped (status 77) when dpkg-deb or lintian is missing:
# tools/setup.sh installs them.
# Usage: deb_test.sh BUILD_DIR
set -euo pipefail
build=$1
for tool in dpkg-deb dpkg-shlibdeps lintian; do
  command -v "$tool" >/dev/null || { echo "SKIP: $tool is missing (tools/setup.sh installs it)"; exit 77; }
done
tmp=$(mktemp -d /tmp/qv_deb.XXXXXX)
trap 'rm -rf "$tmp"' EXIT
fail() { echo "FAIL: $*"; exit 1; }

cpack -G DEB --config "$build/CPackConfig.cmake" -B "$tmp" >"$tmp/cpack.log" 2>&1 ||
  { cat "$tmp/cpack.log"; fail "cpack"; }
deb=$(ls "$tmp"/*.deb)
echo "package: ${deb##*/}"
dpkg-deb -c "$deb" | awk '{ print $6 }' | sed 's#^\./#/#' >"$tmp/contents"
expected=(/usr/bin/qv01-fm /usr/bin/tunerdesk-run /usr/lib/udev/rules.d/60-qv01.rules
          /usr/share/applications/qv01-fm.desktop /usr/share/applications/tunerdesk-run.desktop
          /usr/share/icons/hicolor/scalable/apps/qv01-fm.svg /usr/share/icons/hicolor/48x48/apps/qv01-fm.png
          /usr/share/icons/hicolor/scalable/apps/tunerdesk-run.svg
          /usr/share/icons/hicolor/48x48/apps/tunerdesk-run.png /usr/share/qv01/fw/proto.hex
          /usr/share/qv01/config/FM_radio.ini /usr/share/qv01/tunerdesk/FM_radio.ini
          /usr/share/qv01/tunerdesk/scene_40mhz.ini /usr/share/qv01/scenes/default_scene.ini
          /usr/share/doc/qv01/copyright /usr/share/doc/qv01/changelog.Debian.gz)
mapfile -t programs <"$build/packaging/installed_programs.txt"
mapfile -t pages <"$build/packaging/installed_man_pages.txt"
for p in "${programs[@]}"; do expected+=("/usr/bin/$p"); done
for p in "${pages[@]}"; do expected+=("/usr/share/man/man1/$p.1.gz"); done
for f in "${expected[@]}"; do
  grep -qx "$f" "$tmp/contents" || fail "$f is not in the package"
done
grep -q '/qv01/libqv_virtual_board.so$' "$tmp/contents" || fail "the virtual board library is not in the package"
echo "contents: ${#programs[@]} programs, ${#pages[@]} man pages, the udev rule, desktop entries, icons, data"

dpkg-deb -x "$deb" "$tmp/root"
rule=$(cat "$tmp/root/usr/lib/udev/rules.d/60-qv01.rules")
grep -v '^#' <<<"$rule" | grep 'ATTR{idVendor}=="04b4"' | grep 'ATTR{idProduct}=="8613"' | grep -q 'TAG+="uaccess"' ||
  fail "udev rule: $rule"
zgrep -q '^\.IR /usr/share/qv01/fw/proto.hex' "$tmp/root/usr/share/man/man1/qv01_fm.1.gz" ||
  fail "qv01_fm.1 does not name /usr/share/qv01/fw/proto.hex"
for p in "${programs[@]}" qv01-fm tunerdesk-run; do
  "$tmp/root/usr/bin/$p" --version >/dev/null || fail "the packaged $p --version: rc $?"
done
depends=$(dpkg-deb -f "$deb" Depends)
echo "Depends: $depends"
for lib in libusb-1.0-0 libusb-0.1-4 libqt5widgets5 libqt5multimedia5 libqwt-qt5-6 libfftw3-double3 \
           libpulse0 libqt5multimedia5-plugins; do
  grep -q "$lib" <<<"$depends" || fail "Depends lacks $lib"
done
dpkg-deb -e "$deb" "$tmp/control"
grep -q 'udevadm control --reload-rules' "$tmp/control/postinst" || fail "postinst does not reload the udev rules"
grep -q 'udevadm control --reload-rules' "$tmp/control/postrm" || fail "postrm does not reload the udev rules"

echo "lintian:"
rc=0
lintian --fail-on error --display-info "$deb" >"$tmp/lintian.txt" 2>&1 || rc=$?
cat "$tmp/lintian.txt"
[ "$rc" = 0 ] || fail "lintian reports errors (rc $rc)"
echo PASS
