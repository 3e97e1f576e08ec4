#!/usr/bin/env bash
# Installs, from Debian, every package the build, the tests and the runs need.
# Does nothing when all of them are present. Needs root (or sudo) for apt-get.
set -euo pipefail

packages=(
  # build
  g++ cmake ninja-build pkg-config flex
  # board link: libusb-1.0 for qv01_fm, the libusb-0.1 interface for tunerdesk
  libusb-1.0-0-dev libusb-dev
  # Qt front-ends, spectrum axes, FFT, audio
  qtbase5-dev qtmultimedia5-dev libqt5multimedia5-plugins libqwt-qt5-dev libfftw3-dev libpulse-dev
  # tests, benchmarks, fuzzing (clang's libFuzzer), comparison DSP library
  libgtest-dev libgmock-dev googletest libbenchmark-dev libliquid-dev clang libclang-rt-14-dev clang-format
  # the real USB bindings tested below the library, against a scripted FX2
  umockdev libumockdev-dev
  # headless runs: X server, clicks, a private PulseAudio with a null sink, recording and measuring
  xvfb xdotool x11-utils pulseaudio pulseaudio-utils sox imagemagick bc
  # packaging: icons (rsvg-convert), desktop entry check, the .deb's dependencies and lintian
  librsvg2-bin desktop-file-utils dpkg-dev lintian man-db
  # SoapySDR driver: the library, SoapySDRUtil, the Python bindings, SoapyRemote (its server wants
  # a DNS-SD daemon: the loopback test starts avahi-daemon on a private bus, never the system's)
  libsoapysdr-dev soapysdr-tools python3-soapysdr soapysdr-module-remote soapyremote-server
  avahi-daemon dbus-daemon
  # design scripts under tools/ (not needed by the build)
  python3 python3-numpy python3-scipy fonts-dejavu-core
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

echo "setup: installing ${missing[*]}"
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq "${missing[@]}"
