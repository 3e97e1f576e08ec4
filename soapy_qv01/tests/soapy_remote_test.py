#!/usr/bin/python3
"""The qv01 driver over SoapyRemote on loopback.

    soapy_remote_test.py QV_VIRTUAL_BOARD SOAPY_SDR_SERVER MODULE_DIR SCENE

SoapySDRServer runs under the virtual board's launcher with the module on
SOAPY_SDR_PLUGIN_PATH; this process, which has only the installed remote
module, makes driver=remote with remote:driver=qv01 and reads CS16 at
203.7 kHz for 10 s: no overflow, the samples at the full rate, the scene's
carrier 30 kHz above the tuning at +30 kHz.

The whole test runs in network and mount namespaces of its own (re-executed
under unshare) with only loopback in them, so the server's discovery
announcements reach nothing else and its port is free. The server needs a
DNS-SD daemon: the test starts a private D-Bus system bus and avahi-daemon
there, on a private /run. Exit status 0 when every check holds, 77 (skipped)
when no namespace can be made.
"""
import fcntl
import os
import socket
import struct
import subprocess
import sys
import time

PORT = 55132
SECONDS = 10.0
CARRIER_HZ = 103.73e6  # PLAIN_CARRIER of the scene: 103.7 MHz + 30 kHz


def enter_own_network():
    """Re-executes this script in new network and mount namespaces, brings
    loopback up and puts a private /run in place; returns only inside them."""
    if os.environ.get("QV_SOAPY_OWN_NETWORK") != "1":
        for unshare in (["unshare", "--net", "--mount"],
                        ["unshare", "--net", "--mount", "--map-root-user"]):
            if subprocess.call(unshare + ["true"], stderr=subprocess.DEVNULL) == 0:
                env = dict(os.environ, QV_SOAPY_OWN_NETWORK="1")
                os.execvpe(unshare[0], unshare + [sys.executable, *sys.argv], env)
        print("no network namespace could be made: skipped")
        sys.exit(77)
    siocgifflags, siocsifflags, iff_up = 0x8913, 0x8914, 0x1
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    flags = struct.unpack("16sh", fcntl.ioctl(s, siocgifflags, struct.pack("16sh", b"lo", 0)))[1]
    fcntl.ioctl(s, siocsifflags, struct.pack("16sh", b"lo", flags | iff_up))
    s.close()
    subprocess.check_call(["mount", "-t", "tmpfs", "tmpfs", "/run"])


BUS_CONFIG = """<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>system</type>
  <listen>unix:path=/run/dbus/system_bus_socket</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow user="*"/><allow own="*"/><allow send_destination="*"/><allow receive_sender="*"/>
  </policy>
</busconfig>
"""


def start_dns_sd(daemons):
    """A system bus and avahi-daemon on loopback in the private /run, as
    SoapySDRServer wants one; False when avahi's socket does not appear."""
    os.makedirs("/run/dbus")
    with open("/run/dbus/test-bus.conf", "w") as f:
        f.write(BUS_CONFIG)
    with open("/run/avahi-test.conf", "w") as f:
        f.write("[server]\nuse-ipv4=yes\nuse-ipv6=no\nallow-interfaces=lo\n")
    daemons.append(subprocess.Popen(
        ["dbus-daemon", "--config-file=/run/dbus/test-bus.conf", "--nofork", "--nopidfile"]))
    if not wait_for(lambda: os.path.exists("/run/dbus/system_bus_socket")):
        return False
    daemons.append(subprocess.Popen(
        ["avahi-daemon", "-f", "/run/avahi-test.conf", "--no-drop-root", "--no-chroot",
         "--no-rlimits"], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL))
    return wait_for(lambda: os.path.exists("/run/avahi-daemon/socket"))


def wait_for(condition):
    give_up = time.monotonic() + 30
    while time.monotonic() < give_up:
        if condition():
            return True
        time.sleep(0.05)
    return False


def listening():
    try:
        socket.create_connection(("127.0.0.1", PORT), timeout=1).close()
        return True
    except OSError:
        return False


def main():
    vboard, server_program, module_dir, scene = sys.argv[1:5]
    enter_own_network()
    import numpy as np
    import SoapySDR
    from SoapySDR import SOAPY_SDR_CS16, SOAPY_SDR_OVERFLOW, SOAPY_SDR_RX, SOAPY_SDR_TIMEOUT

    daemons = []
    failures = []
    try:
        if not start_dns_sd(daemons):
            print("FAILED no DNS-SD daemon for the server")
            return 1
        daemons.append(subprocess.Popen(
            [vboard, "--scene", scene, "--", server_program, "--bind=127.0.0.1:%d" % PORT],
            env=dict(os.environ, SOAPY_SDR_PLUGIN_PATH=module_dir), stdout=subprocess.DEVNULL))
        if not wait_for(listening):
            print("FAILED the server did not listen on 127.0.0.1:%d" % PORT)
            return 1
        dev = SoapySDR.Device("driver=remote,remote=tcp://127.0.0.1:%d,remote:driver=qv01" % PORT)
        rate = 66e6 / 324
        dev.setSampleRate(SOAPY_SDR_RX, 0, rate)
        dev.setFrequency(SOAPY_SDR_RX, 0, CARRIER_HZ - 30e3)
        stream = dev.setupStream(SOAPY_SDR_RX, SOAPY_SDR_CS16)
        mtu = dev.getStreamMTU(stream)
        buf = np.empty(mtu, (np.int16, 2))
        dev.activateStream(stream)

        # Counted from the first block on: the stream's start-up is not timed.
        frames = overflows = 0
        errors = []
        start = None
        last = np.empty((0, 2), np.int16)
        while start is None or time.monotonic() - start < SECONDS:
            sr = dev.readStream(stream, [buf], mtu, timeoutUs=1000000)
            if sr.ret == SOAPY_SDR_TIMEOUT and start is None:
                continue
            if sr.ret == SOAPY_SDR_OVERFLOW:
                overflows += 1
                continue
            if sr.ret <= 0:
                errors.append(SoapySDR.errToStr(sr.ret))
                if len(errors) > 10:
                    break
                continue
            if start is None:
                start = time.monotonic()
            else:
                frames += sr.ret
            last = np.concatenate((last, buf[:sr.ret]))[-8192:]
        elapsed = time.monotonic() - start if start else 0.0
        dev.deactivateStream(stream)
        dev.closeStream(stream)
        del dev  # unmade while the server is there

        measured = frames / elapsed if elapsed > 0 else 0.0
        print("%d frames in %.2f s: %.1f frames/s of %.1f (%.1f %%), %d overflows, errors %s" %
              (frames, elapsed, measured, rate, 100 * measured / rate, overflows, errors))
        if overflows or errors:
            failures.append("overflows or errors")
        # The time base is this process's clock over a busy machine: a wide margin.
        if measured < 0.9 * rate:
            failures.append("samples below the full rate")
        x = (last[:, 0] + 1j * last[:, 1]) * np.blackman(len(last))
        spectrum = np.abs(np.fft.fft(x)) ** 2
        f = np.fft.fftfreq(len(x), 1 / rate)[int(np.argmax(spectrum))]
        print("carrier at %+.0f Hz" % f)
        if len(last) < 8192 or abs(f - 30e3) > 3 * rate / len(last):
            failures.append("carrier not at +30 kHz")
    finally:
        for daemon in reversed(daemons):
            daemon.terminate()
            try:
                daemon.wait(timeout=10)
            except subprocess.TimeoutExpired:
                daemon.kill()
                daemon.wait()
    print("FAILED " + ", ".join(failures) if failures else "all checks passed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
