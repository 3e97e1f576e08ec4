#!/usr/bin/python3
"""Prints the digest of the stored first half (2048 values) of the 4096-point
Blackman window that weights the AFC's frequency-error sum:
w[n] = 0.42 - 0.5 cos(2 pi n / 4095) + 0.08 cos(4 pi n / 4095).
The second half is the mirror image and is not stored. The program builds the
window from this formula at first use (radio_dsp/resampler_kernel.cpp);
radio_dsp/tests/test_kernel.cpp holds the figures printed here.

The terms are added in the formula's order with the C library's cos, as the
program does. A cos other than the C library's (numpy's vectorised one on
some processors) and the C library's own variants for processors with and
without FMA may differ in the last bit, so the test allows a few units in the
last place.

Usage: tools/design_blackman_window.py (Python 3 only).
"""
import math

N = 4096


def main():
    w = [0.42 - 0.5 * math.cos(2 * math.pi * n / (N - 1)) + 0.08 * math.cos(4 * math.pi * n / (N - 1))
         for n in range(N // 2)]
    print("window digest: full sum %.17g" % (2 * math.fsum(w)))
    for n in (1, 100, 1000, 1500, 2047):
        print("  entry %4d  %.17g" % (n, w[n]))


if __name__ == "__main__":
    main()
