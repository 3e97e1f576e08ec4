#!/usr/bin/env bash
# Runs a command with a private PulseAudio server (null sink "qvnull") and a
# private Xvfb, both stopped afterwards: the test environment of the wave
# output and of the form.
set -u
# shellcheck source=tools/headless_lib.sh
source "$(dirname "$0")/../../tools/headless_lib.sh"
hl_start || exit 1
# libpulse is not instrumented and synchronises its threads partly with its
# own atomics, which ThreadSanitizer cannot see: report races from our code
# only (its lock and copy calls still count for the ordering).
export TSAN_OPTIONS="${TSAN_OPTIONS:+$TSAN_OPTIONS:}ignore_noninstrumented_modules=1"
"$@"
rc=$?
hl_stop
exit $rc
