#!/usr/bin/python3
"""The qv01 driver from Python (python3-soapysdr) on the virtual board.

Run under qv-virtual-board with the scene of offset stations and
SOAPY_SDR_PLUGIN_PATH naming the module's build folder (CTest does both).
Finds and makes the board, then at the lowest and the highest rate reads CF32
tuned 30 kHz below the scene's plain carrier and finds it at +30 kHz; reads
CS16 and sets the DIGITAL gain. Exit status 0 when every check holds.
"""
import sys
import time

import numpy as np
import SoapySDR
from SoapySDR import SOAPY_SDR_CF32, SOAPY_SDR_CS16, SOAPY_SDR_RX, SOAPY_SDR_TIMEOUT

CARRIER_HZ = 103.73e6  # PLAIN_CARRIER: 103.7 MHz + 30 kHz
failures = []


def check(ok, what):
    print(("ok     " if ok else "FAILED ") + what)
    if not ok:
        failures.append(what)


def read(dev, stream, frames, dtype, skip=4096):
    """`frames` frames after `skip` (the filters' transient); None on an error.
    One row of `buf` is one frame: complex64, or (int16, 2) for CS16."""
    buf = np.empty(skip + frames, dtype)
    got = 0
    give_up = time.monotonic() + 30
    while got < len(buf) and time.monotonic() < give_up:
        sr = dev.readStream(stream, [buf[got:]], len(buf) - got, timeoutUs=500000)
        if sr.ret == SOAPY_SDR_TIMEOUT:
            continue
        if sr.ret <= 0:
            print("readStream: " + SoapySDR.errToStr(sr.ret))
            return None
        got += sr.ret
    return buf[skip:] if got == len(buf) else None


def peak_hz(x, rate):
    """Frequency of the strongest bin and its distance to the mirror bin, dB."""
    spectrum = np.abs(np.fft.fft(x * np.blackman(len(x)))) ** 2
    k = int(np.argmax(spectrum))
    mirror = (len(x) - k) % len(x)
    f = np.fft.fftfreq(len(x), 1 / rate)[k]
    return f, 10 * np.log10(spectrum[k] / max(spectrum[mirror], 1e-30))


def main():
    found = SoapySDR.Device.enumerate("driver=qv01")
    check(len(found) == 1 and "QV01" in found[0]["label"], "enumerate finds the board: %s" % found)
    dev = SoapySDR.Device("driver=qv01")
    check(dev.getHardwareInfo()["chip_id"] == "0x5101", "chip id 0x5101")
    rates = list(dev.listSampleRates(SOAPY_SDR_RX, 0))
    check(len(rates) >= 5 and rates[0] < 110e3 and rates[-1] >= 1e6, "rates %s" % rates)

    dev.setFrequency(SOAPY_SDR_RX, 0, CARRIER_HZ - 30e3)
    stream = dev.setupStream(SOAPY_SDR_RX, SOAPY_SDR_CF32)
    for rate in (rates[0], rates[-1]):
        dev.setSampleRate(SOAPY_SDR_RX, 0, rate)
        check(dev.getSampleRate(SOAPY_SDR_RX, 0) == rate, "rate %.0f set" % rate)
        check(dev.activateStream(stream) == 0, "activated")
        x = read(dev, stream, 8192, np.complex64)
        check(x is not None, "CF32 frames read at %.0f" % rate)
        if x is not None:
            f, above_mirror = peak_hz(x, rate)
            check(abs(f - 30e3) < 3 * rate / 8192 and above_mirror > 40,
                  "carrier at %+.0f Hz (%.0f dB above its mirror), expected +30000" %
                  (f, above_mirror))
        dev.deactivateStream(stream)
    dev.closeStream(stream)

    stream = dev.setupStream(SOAPY_SDR_RX, SOAPY_SDR_CS16)
    dev.activateStream(stream)
    x = read(dev, stream, 4096, (np.int16, 2), skip=0)
    check(x is not None and np.abs(x).max() > 0, "CS16 frames read")
    dev.setGain(SOAPY_SDR_RX, 0, "DIGITAL", -20.0)
    check(dev.getGain(SOAPY_SDR_RX, 0, "DIGITAL") == -20.0, "DIGITAL gain -20 dB")
    dev.deactivateStream(stream)
    dev.closeStream(stream)
    del dev  # unmade
    print("%d checks failed" % len(failures))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
