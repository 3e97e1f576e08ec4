#!/usr/bin/python3
"""Designs the 256-phase resampler kernel of the radio DSP and writes it as C++.

The kernel does the 75 us broadcast de-emphasis and the audio low-pass in the
same pass as the fractional resampling from ~203.7 kHz to 44.1 kHz:

  * a 119-tap linear-phase prototype h at the input rate, designed as a
    minimax linear programme: relative error against the de-emphasis of at most
    0.1 dB up to 10 kHz, growing linearly to 0.3 dB at 15 kHz, minimum peak level
    from 19 kHz to half the input rate, sum 256, every tap >= 0;
  * h placed on a grid 256 times finer than the input samples and convolved
    with four 256-point moving averages (a cubic B-spline), which interpolates
    between the phases and puts fourth-order zeros on every image of the
    pass band at multiples of the input rate.

The result has 31229 entries, is symmetric about entry 15614 and every one of
its 256 phases (entries ph, ph + 256, ...) sums to 1.

Usage: tools/design_resampler_kernel.py [output.cpp]
(default radio_dsp/resampler_kernel.cpp). Needs Debian's python3-numpy and
python3-scipy; the build does not run this script.
"""
import os
import sys

import numpy as np
from scipy.optimize import linprog

INPUT_RATE_HZ = 66e6 / 324          # chip output rate the nominal step 1182 assumes
TAU_S = 75e-6                      # broadcast de-emphasis time constant
PROTO_TAPS = 119
PHASES = 256
SMOOTHING_PASSES = 4
PASS_EDGE_HZ = 15e3
STOP_EDGE_HZ = 19e3
KERNEL_LENGTH = (PROTO_TAPS - 1) * PHASES + 1 + SMOOTHING_PASSES * (PHASES - 1)


def deemphasis(f):
    return 1.0 / np.sqrt(1.0 + (2 * np.pi * f * TAU_S) ** 2)


def smoothing_response(f):
    """Amplitude of the four moving averages at f (Hz, input-rate units)."""
    x = f / (PHASES * INPUT_RATE_HZ)
    with np.errstate(invalid="ignore", divide="ignore"):
        m = np.where(x == 0, 1.0, np.sin(PHASES * np.pi * x) / (PHASES * np.sin(np.pi * x)))
    return m ** SMOOTHING_PASSES


def amplitude_basis(f):
    """Rows map the prototype's half (centre tap first) to the kernel's
    per-phase amplitude at the frequencies f."""
    half = (PROTO_TAPS - 1) // 2
    k = np.arange(half + 1)
    b = np.cos(2 * np.pi * np.outer(f, k) / INPUT_RATE_HZ)
    b[:, 1:] *= 2
    return b * (smoothing_response(f) / PHASES)[:, None]


def design_prototype():
    half = (PROTO_TAPS - 1) // 2
    f_pass = np.linspace(0, PASS_EDGE_HZ, 600)
    f_stop = np.linspace(STOP_EDGE_HZ, INPUT_RATE_HZ / 2, 3000)
    tol_db = np.interp(f_pass, [0, 10e3, PASS_EDGE_HZ], [0.1, 0.1, 0.3])
    lo = deemphasis(f_pass) * 10 ** (-tol_db / 20)
    hi = deemphasis(f_pass) * 10 ** (tol_db / 20)
    bp = amplitude_basis(f_pass)
    bs = amplitude_basis(f_stop)
    nv = half + 2                       # half + 1 taps, then the stop-band peak
    zp = np.zeros((len(f_pass), 1))
    one = np.ones((len(f_stop), 1))
    a_ub = np.vstack([np.hstack([bp, zp]), np.hstack([-bp, zp]),
                      np.hstack([bs, -one]), np.hstack([-bs, -one])])
    b_ub = np.concatenate([hi, -lo, np.zeros(len(f_stop)), np.zeros(len(f_stop))])
    a_eq = np.zeros((1, nv))
    a_eq[0, 0] = 1
    a_eq[0, 1:half + 1] = 2
    cost = np.zeros(nv)
    cost[-1] = 1
    res = linprog(cost, A_ub=a_ub, b_ub=b_ub, A_eq=a_eq, b_eq=[PHASES],
                  bounds=[(0, None)] * nv, method="highs")
    if res.status != 0:
        sys.exit("design failed: " + res.message)
    hh = res.x[:half + 1]
    return np.concatenate([hh[:0:-1], hh])


def build_kernel(h):
    grid = np.zeros((PROTO_TAPS - 1) * PHASES + 1)
    grid[::PHASES] = h
    avg = np.ones(PHASES) / PHASES
    k = grid
    for _ in range(SMOOTHING_PASSES):
        k = np.convolve(k, avg)
    k = 0.5 * (k + k[::-1])             # exact symmetry despite rounding
    # Unity DC gain in every phase. Phase p mirrors phase (252 - p) mod 256;
    # both are divided by the same sum so the symmetry stays exact.
    sums = [k[ph::PHASES].sum() for ph in range(PHASES)]
    divisors = [sums[min(ph, (len(k) - 1 - ph) % PHASES)] for ph in range(PHASES)]
    for ph in range(PHASES):
        k[ph::PHASES] /= divisors[ph]
    assert np.array_equal(k, k[::-1])
    return k


def response_db(k, f):
    n = np.arange(len(k))
    w = np.exp(-2j * np.pi * np.outer(f, n) / (PHASES * INPUT_RATE_HZ))
    return 20 * np.log10(np.abs(w @ k) / PHASES)


def report(k):
    table = [1e3, 2.122e3, 5e3, 10e3, 15e3, 16e3, 17e3, 18e3, 19e3]
    for f, r in zip(table, response_db(k, np.array(table))):
        print("%7.3f kHz  %8.2f dB   de-emphasis %7.2f dB" % (f / 1e3, r, 20 * np.log10(deemphasis(f))))
    nfft = 1 << 23
    spec = np.abs(np.fft.rfft(k, nfft)) / PHASES
    freqs = np.arange(len(spec)) * PHASES * INPUT_RATE_HZ / nfft
    stop = spec[freqs >= STOP_EDGE_HZ]
    print("peak from 19 kHz to %.1f MHz: %.2f dB" % (freqs[-1] / 1e6, 20 * np.log10(stop.max())))
    print("length %d, centre %d value %.16g, sum %.15g, min %.3g" %
          (len(k), len(k) // 2, k[len(k) // 2], k.sum(), k.min()))


def write_cpp(k, path):
    with open(path, "w") as out:
        out.write("// Generated by tools/design_resampler_kernel.py; do not edit.\n")
        out.write("// 256-phase resampler kernel: 119-tap de-emphasis and audio low-pass\n")
        out.write("// prototype at ~203.7 kHz, smoothed by four 256-point moving averages.\n")
        out.write("// clang-format off\n")
        out.write('#include "resampler_kernel.h"\n\n')
        out.write("namespace radio_dsp {\n\n")
        out.write("const double resampler_kernel[kResamplerKernelLength] = {\n")
        for i in range(0, len(k), 4):
            out.write("    " + " ".join("%.17g," % v for v in k[i:i + 4]) + "\n")
        out.write("};\n\n}  // namespace radio_dsp\n")


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    path = sys.argv[1] if len(sys.argv) > 1 else os.path.join(here, "..", "radio_dsp", "resampler_kernel.cpp")
    h = design_prototype()
    k = build_kernel(h)
    assert len(k) == KERNEL_LENGTH
    report(k)
    write_cpp(k, path)


if __name__ == "__main__":
    main()
