#!/usr/bin/env bash
# Runs a command with a private PulseAudio server (null sink "qvnull") and a
# private Xvfb, both stopped afterwards: the test environment of the wave
# output and of the form.
set -u
# shellcheck source=tools/headless_lib.sh
source "$(dirname "$0")/../../tools/headless_lib.sh"
hl_start || exit 1
"$@"
rc=$?
hl_stop
exit $rc
