#!/usr/bin/python3
"""Designs the prototype of the radio DSP's 256-phase resampler kernel and
writes its taps as C++; the program builds the kernel from them at first use.

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
its 256 phases (entries ph, ph + 256, ...) sums to 1. build_kernel() fixes the
order of every addition, so radio_dsp/resampler_kernel.cpp, which does the
same steps in the same order, gets the same bits.

Usage:
  tools/design_resampler_kernel.py [output.cpp]
      designs the prototype, writes its taps (default
      radio_dsp/resampler_prototype.cpp), prints the kernel's response and
      digest. Needs Debian's python3-numpy and python3-scipy.
  tools/design_resampler_kernel.py --digest [prototype.cpp]
      builds the kernel from the committed taps and prints its digest, the
      figures radio_dsp/tests/test_kernel.cpp holds. Needs python3-numpy only.
The build does not run this script.
"""
import os
import re
import struct
import sys

import numpy as np

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
    from scipy.optimize import linprog

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


def moving_average(x):
    """Full convolution with 256 taps of 1/256. Each output adds its inputs
    from the lowest index up, starting from 0 (zeros outside x add nothing)."""
    padded = np.concatenate([np.zeros(PHASES - 1), x, np.zeros(PHASES - 1)])
    out = np.zeros(len(x) + PHASES - 1)
    for d in range(PHASES):
        out += padded[d:d + len(out)] * (1.0 / PHASES)
    return out


def phase_sum(v):
    """Sum of the <= 128 entries of one phase: eight running sums over the
    whole groups of eight, added in pairs, then the rest one by one."""
    assert 8 <= len(v) <= 128
    r = [float(x) for x in v[:8]]
    whole = len(v) - len(v) % 8
    for i in range(8, whole, 8):
        for j in range(8):
            r[j] += v[i + j]
    total = ((r[0] + r[1]) + (r[2] + r[3])) + ((r[4] + r[5]) + (r[6] + r[7]))
    for x in v[whole:]:
        total += x
    return total


def build_kernel(h):
    grid = np.zeros((PROTO_TAPS - 1) * PHASES + 1)
    grid[::PHASES] = h
    k = grid
    for _ in range(SMOOTHING_PASSES):
        k = moving_average(k)
    k = 0.5 * (k + k[::-1])             # exact symmetry despite rounding
    # Unity DC gain in every phase. Phase p mirrors phase (252 - p) mod 256;
    # both are divided by the same sum so the symmetry stays exact.
    sums = [phase_sum(k[ph::PHASES]) for ph in range(PHASES)]
    divisors = [sums[min(ph, (len(k) - 1 - ph) % PHASES)] for ph in range(PHASES)]
    for ph in range(PHASES):
        k[ph::PHASES] /= divisors[ph]
    assert np.array_equal(k, k[::-1])
    return k


def fnv1a64(values):
    """FNV-1a (64 bit) of the doubles' little-endian bytes."""
    h = 0xcbf29ce484222325
    for b in struct.pack("<%dd" % len(values), *values):
        h = ((h ^ b) * 0x100000001b3) & 0xFFFFFFFFFFFFFFFF
    return h


def print_digest(k):
    print("kernel digest: length %d, FNV-1a 0x%016x, sum %.17g" % (len(k), fnv1a64(k), k.sum()))
    for i in (0, 1000, 7807, 15000, 15614):
        print("  entry %5d  %.17g" % (i, k[i]))


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


def write_cpp(h, path):
    with open(path, "w") as out:
        out.write("// Generated by tools/design_resampler_kernel.py; do not edit.\n")
        out.write("// 119-tap prototype of the 256-phase resampler kernel: 75 us de-emphasis and\n")
        out.write("// audio low-pass at ~203.7 kHz, sum 256. resampler_kernel.cpp smooths it.\n")
        out.write("// clang-format off\n")
        out.write('#include "resampler_kernel.h"\n\n')
        out.write("namespace radio_dsp {\n\n")
        out.write("const double resampler_prototype[kResamplerPrototypeTaps] = {\n")
        for i in range(0, len(h), 4):
            out.write("    " + " ".join("%.17g," % v for v in h[i:i + 4]) + "\n")
        out.write("};\n\n}  // namespace radio_dsp\n")


def read_cpp(path):
    with open(path) as f:
        body = f.read().split("= {", 1)[1].split("};", 1)[0]
    h = np.array([float(v) for v in re.findall(r"[-+0-9.eE]+(?=,)", body)])
    assert len(h) == PROTO_TAPS
    return h


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    args = sys.argv[1:]
    digest_only = args[:1] == ["--digest"]
    if digest_only:
        args = args[1:]
    path = args[0] if args else os.path.join(here, "..", "radio_dsp", "resampler_prototype.cpp")
    if digest_only:
        h = read_cpp(path)
    else:
        h = design_prototype()
        write_cpp(h, path)
        assert np.array_equal(read_cpp(path), h)
    k = build_kernel(h)
    assert len(k) == KERNEL_LENGTH
    if not digest_only:
        report(k)
    print_digest(k)


if __name__ == "__main__":
    main()
