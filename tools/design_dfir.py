#!/usr/bin/python3
"""Designs the DFIR1 and DFIR2 decimators of the QV01 FM receive chains.

Chains (--chain selects; qv01_fm is the default): one per program, and the
I/Q chains of the SoapySDR driver, one per sample rate it offers.

qv01_fm, channel 0 at a 66 MHz chip clock, total decimation 324, 203.7 kHz out,
files in config/:

    NCO -> CIC2 /4 -> CICN /9 (5th order) -> DFIR1 /3 -> DFIR2 /3 -> GAIN
    66 MHz    16.5 MHz    1.8333 MHz           611.1 kHz    203.7 kHz

tunerdesk, channel 0 at a 40 MHz chip clock, total decimation 192, 208.3 kHz
out, files in run/tunerdesk/ (the program's working directory):

    NCO -> CIC2 /4 -> CICN /12 (5th order) -> DFIR1 /2 -> DFIR2 /2 -> GAIN
    40 MHz    10 MHz      833.3 kHz            416.7 kHz    208.3 kHz

I/Q chains of the SoapySDR driver, channel 0 at a 66 MHz chip clock, files
config/iq_<rate>.ini (the whole chip), iq_<rate>_channel.ini (channel 0) and
iq_<rate>_dfir1.txt / _dfir2.txt, coefficient names relative to config/:

    iq_101k85  CIC2 /4 -> CICN /27 -> DFIR1 /3 -> DFIR2 /2   total /648  101.85 kHz
    iq_203k7   CIC2 /4 -> CICN /27 -> DFIR1 /1 -> DFIR2 /3   total /324  203.70 kHz
    iq_250k    CIC2 /4 -> CICN /11 -> DFIR1 /3 -> DFIR2 /2   total /264  250.00 kHz
    iq_500k    CIC2 /4 -> CICN /11 -> DFIR1 /1 -> DFIR2 /3   total /132  500.00 kHz
    iq_1M031   CIC2 /4 -> CICN /8  -> DFIR1 /1 -> DFIR2 /2   total /64   1.03125 MHz

Their pass band is 80 % of the rate (+-0.4 x rate) rather than the FM
channel's +-80 kHz. A DFIR1 at ratio 1 is a single tap (order 0): a gain
stage that makes up what the CICs leave below full scale. The CICN rate is
kept at or below about 2 MHz, which the virtual board's chip model computes
in real time.

Both FIRs are odd-length symmetric filters (sym = 0 in the chip: the bank
holds c_0 .. c_n, the filter is c_0 .. c_n .. c_0, 2n+1 taps, order 2n).
DFIR1 is a plain low-pass; DFIR2 carries the sharp edge and flattens the
pass band of everything before it (CIC droop, DFIR1 ripple).

Targets at the output:
  * pass band (+-80 kHz, or +-0.4 x rate for the I/Q chains) flat within
    0.5 dB, CIC droop included;
  * whatever folds into the pass band at each decimation at least 60 dB down;
  * every stage in range for a full-scale pass-band tone (cumulative gain
    <= 1 at each stage output; at the CIC2 output also with the tone's
    mixer image of the same size on top), chain gain close to 0 dB.

Stage gain model shared with the chip model and the Filters panel:
  CIC2   4*R^2 * 2^(scl-16)          (2 stages, response sinc^2, gain 4*R^2)
  CICN   R^(mode+3) * 2^(scl-16)     (or 2^(scl-24) with scl_mx)
  DFIRx  (2*(c_0+...+c_(n-1)) + c_n) * 2^(scl-21)
  GAIN   (I + jQ) / 16384

Writes the chain's dfir1.txt and dfir2.txt (integer coefficients c_0 .. c_n,
white-space separated; nothing else may be in these files since every token
is read as a coefficient) and prints the figures and the ini keys to use.
Needs Debian's python3-numpy and python3-scipy; the build does not run it.

Usage: tools/design_dfir.py [--chain NAME] [--check | --verify]
  NAME      qv01_fm, tunerdesk, or an I/Q chain (iq_101k85 ... iq_1M031)
  --check   design and report, write nothing
  --verify  design and report, then compare with the chain's coefficient
            files and the keys of its channel file; exit 1 on any
            difference (run as a test)
"""

import math
import os
import sys

import numpy as np
from scipy.optimize import linprog

PASS_HZ = 80e3            # +- pass band at the output
MIN_ALIAS_DB = 60.0
MAX_RIPPLE_DB = 0.5


class Chain:
    """Plan of one receive chain; its ini file must agree with it."""

    def __init__(self, **kw):
        # The programs' FM chains: +-80 kHz, dfir1.txt, dfir2.txt, fm_channel.ini.
        self.pass_hz = PASS_HZ
        self.dfir1_file = "dfir1.txt"
        self.dfir2_file = "dfir2.txt"
        self.channel_ini = "fm_channel.ini"
        self.__dict__.update(kw)


def iq_chain(name, cicn_r, cicn_mode, cicn_scl, cicn_scl_mx, dfir1_r, dfir1_order, dfir2_r,
             dfir2_order, dfir2_stop_weight=10.0):
    """An I/Q chain of the SoapySDR driver at 66 MHz: CIC2 /4 at half gain as
    in the FM chain, pass band 80 % of the output rate, files named after it."""
    rate = 66e6 / (4 * cicn_r * dfir1_r * dfir2_r)
    return Chain(
        f_clk=66e6,
        cic2_r=4, cic2_scl=9,
        cicn_r=cicn_r, cicn_mode=cicn_mode, cicn_scl=cicn_scl, cicn_scl_mx=cicn_scl_mx,
        dfir1_r=dfir1_r, dfir1_order=dfir1_order, dfir1_stop_weight=30.0,
        dfir2_r=dfir2_r, dfir2_order=dfir2_order, dfir2_stop_weight=dfir2_stop_weight,
        gain_i=16384,
        pass_hz=0.4 * rate,
        directory="config",
        coef_prefix="",                # relative to config/, where the driver takes them from
        dfir1_file=name + "_dfir1.txt",
        dfir2_file=name + "_dfir2.txt",
        channel_ini=name + "_channel.ini",
    )


CHAINS = {
    # CIC2 at half gain (4*16*2^-7 = 0.5): a real ADC tone leaves the NCO mixer
    # together with its mirror image (at -2 * NCO frequency, modulo the clock)
    # of the same size, and for most FM-band tunings that image falls inside
    # the CIC2's wide pass band; the sum of the two must not clip. CICN removes
    # the image (tunings within a few hundred kHz of clock * 1.5 = 99 MHz
    # excepted, where tone and image cannot be told apart), and DFIR1 makes up
    # the 6 dB.
    "qv01_fm": Chain(
        f_clk=66e6,
        cic2_r=4, cic2_scl=9,
        cicn_r=9, cicn_mode=2, cicn_scl=0, cicn_scl_mx=0,  # 9^5 * 2^-16 = 0.901
        dfir1_r=3, dfir1_order=16, dfir1_stop_weight=30.0,
        dfir2_r=3, dfir2_order=62, dfir2_stop_weight=10.0,
        gain_i=16384,
        directory="config",            # where the files live, from the tree's root
        coef_prefix="../config/",      # file_coef as the program (in run/) sees it
    ),
    # tunerdesk at 40 MHz: the same CIC2 half gain for the mirror image, which
    # here sits at -2 * (tuning - 100 MHz) (100 MHz = 2.5 * clock, the fifth
    # zone's upper edge: tone and image meet at 100.00 MHz). CICN 12^5 * 2^-18
    # = 0.949 with scl_mx. Both FIRs halve the rate.
    "tunerdesk": Chain(
        f_clk=40e6,
        cic2_r=4, cic2_scl=9,
        cicn_r=12, cicn_mode=2, cicn_scl=6, cicn_scl_mx=1,
        dfir1_r=2, dfir1_order=10, dfir1_stop_weight=30.0,
        dfir2_r=2, dfir2_order=62, dfir2_stop_weight=10.0,
        gain_i=16384,
        directory="run/tunerdesk",
        coef_prefix="",                # the program runs in run/tunerdesk/
    ),
    # The SoapySDR driver's rates. CICN gains: 27^5 * 2^-24 = 0.855 (scl_mx),
    # 11^5 * 2^-18 = 0.614 (scl_mx), 8^6 * 2^-18 = 1 (sixth order, scl_mx).
    "iq_101k85": iq_chain("iq_101k85", 27, 2, 0, 1, 3, 16, 2, 62),
    "iq_203k7": iq_chain("iq_203k7", 27, 2, 0, 1, 1, 0, 3, 62),
    "iq_250k": iq_chain("iq_250k", 11, 2, 6, 1, 3, 16, 2, 62),
    "iq_500k": iq_chain("iq_500k", 11, 2, 6, 1, 1, 0, 3, 62),
    "iq_1M031": iq_chain("iq_1M031", 8, 3, 6, 1, 1, 0, 2, 62),
}

C = CHAINS["qv01_fm"]   # the chain being designed; main() selects it

# Head room below full scale kept at every stage output (dB).
HEADROOM_DB = 0.1

COEF_MAX = 32767          # coefficient registers are 16-bit signed
MAX_COEFS = 32            # a bank holds 32 coefficients


# ---- responses -------------------------------------------------------------

def cic_mag(f, fs_in, r, stages, delay):
    """|H| of a CIC decimator normalised to 1 at DC; f in Hz at rate fs_in."""
    x = np.pi * np.asarray(f, dtype=float) / fs_in
    num = np.sin(x * r * delay)
    den = r * delay * np.sin(x)
    with np.errstate(invalid="ignore", divide="ignore"):
        h = np.where(np.abs(den) < 1e-300, 1.0, num / den)
    return np.abs(h) ** stages


def fir_mag(b, f, fs):
    """|A| of a symmetric FIR given by cosine coefficients b (A = sum b_k cos(k w))."""
    w = 2 * np.pi * np.asarray(f, dtype=float) / fs
    k = np.arange(len(b))
    return np.abs(np.cos(np.outer(w, k)) @ b)


def bank_to_cos(c):
    """Coefficient bank c_0..c_n (c_n the centre tap) -> cosine coefficients."""
    c = np.asarray(c, dtype=float)
    n = len(c) - 1
    b = np.empty(n + 1)
    b[0] = c[n]
    if n > 0:  # (a single tap has no mirrored half)
        b[1:] = 2 * c[n - 1::-1]
    return b


def cos_to_bank(b):
    n = len(b) - 1
    c = np.empty(n + 1)
    c[n] = b[0]
    if n > 0:
        c[n - 1::-1] = b[1:] / 2
    return c


# ---- minimax design by linear programming ----------------------------------

def minimax_fir(order, fs, pass_f, pass_desired, stop_f, stop_weight):
    """Linear-phase type I FIR of even `order` minimising the weighted peak error.

    pass_f / pass_desired: grid and desired magnitude in the pass band;
    stop_f: grid of the stop band (desired 0), error weighted by stop_weight.
    Returns cosine coefficients b (A(w) = sum b_k cos(k w)).
    """
    n = order // 2
    k = np.arange(n + 1)
    cp = np.cos(np.outer(2 * np.pi * pass_f / fs, k))
    cs = np.cos(np.outer(2 * np.pi * stop_f / fs, k))
    # variables: b_0..b_n, delta; minimise delta
    rows, rhs = [], []
    for c, d, w in ((cp, pass_desired, 1.0), (cs, np.zeros(len(stop_f)), stop_weight)):
        # w*(c b - d) <= delta  and  -w*(c b - d) <= delta
        rows.append(np.hstack([w * c, -np.ones((len(c), 1))]))
        rhs.append(w * d)
        rows.append(np.hstack([-w * c, -np.ones((len(c), 1))]))
        rhs.append(-w * d)
    a_ub = np.vstack(rows)
    b_ub = np.concatenate(rhs)
    cost = np.zeros(n + 2)
    cost[-1] = 1.0
    bounds = [(None, None)] * (n + 1) + [(0, None)]
    res = linprog(cost, A_ub=a_ub, b_ub=b_ub, bounds=bounds, method="highs")
    if not res.success:
        sys.exit("design failed: " + res.message)
    return res.x[: n + 1]


def quantise(b, fs_gain, max_coef=COEF_MAX):
    """Integer bank for stage gain fs_gain: picks the smallest scale (largest
    coefficients, finest resolution) whose coefficients still fit 16 bits.
    Returns (bank, scl)."""
    shape = cos_to_bank(b)
    shape = shape / (2 * shape[:-1].sum() + shape[-1])      # unit coefficient sum
    for scl in range(0, 16):
        total = fs_gain * 2.0 ** (21 - scl)
        c = np.round(shape * total).astype(int)
        # hit the wanted sum exactly with the centre tap
        c[-1] += int(round(total)) - (2 * c[:-1].sum() + c[-1])
        if np.abs(c).max() <= max_coef:
            return c, scl
    sys.exit("no scale fits the coefficients into 16 bits")


def bank_sum(c):
    return 2 * int(np.sum(c[:-1])) + int(c[-1])


# ---- the chain -------------------------------------------------------------

def rates():
    fs0 = C.f_clk
    fs1 = fs0 / C.cic2_r
    fs2 = fs1 / C.cicn_r
    fs3 = fs2 / C.dfir1_r
    fs4 = fs3 / C.dfir2_r
    return fs0, fs1, fs2, fs3, fs4


def cic2_mag(f):
    fs0 = C.f_clk
    # Two integrate-and-dump stages; the two extra bits of its 4*R^2 gain are
    # a plain gain, not a longer comb.
    return cic_mag(f, fs0, C.cic2_r, 2, 1)


def cicn_mag(f):
    fs1 = C.f_clk / C.cic2_r
    return cic_mag(f, fs1, C.cicn_r, C.cicn_mode + 3, 1)


def fold_bands(fs_in, fs_out, edge=None):
    """Frequencies (Hz, 0..fs_in/2) that a decimation from fs_in to fs_out
    folds into +-edge (the chain's pass band by default); none without
    decimation."""
    if edge is None:
        edge = C.pass_hz
    bands = []
    if fs_out >= fs_in:
        return bands
    k = 1
    while k * fs_out - edge < fs_in / 2:
        lo = k * fs_out - edge
        hi = min(k * fs_out + edge, fs_in / 2)
        bands.append((lo, hi))
        k += 1
    return bands


def grid(bands, points=400):
    return np.concatenate([np.linspace(lo, hi, points) for lo, hi in bands])


def design():
    fs0, fs1, fs2, fs3, fs4 = rates()
    fpass = np.linspace(0, C.pass_hz, 400)

    # DFIR1: flat low-pass, stop bands where its decimation folds onto the
    # pass band; without decimation a single tap (a gain stage).
    if C.dfir1_r == 1:
        assert C.dfir1_order == 0, "a DFIR1 at ratio 1 is a single tap"
        b1 = np.array([1.0])
    else:
        stop1 = grid(fold_bands(fs2, fs3))
        b1 = minimax_fir(C.dfir1_order, fs2, fpass, np.ones_like(fpass), stop1,
                         C.dfir1_stop_weight)

    # DFIR2: the sharp edge, pass band shaped to undo what comes before.
    before = cic2_mag(fpass) * cicn_mag(fpass) * fir_mag(b1, fpass, fs2) / fir_mag(b1, [0.0], fs2)[0]
    stop2 = grid(fold_bands(fs3, fs4))
    b2 = minimax_fir(C.dfir2_order, fs3, fpass, 1.0 / before, stop2, C.dfir2_stop_weight)
    return b1, b2


def stage_gains():
    g_cic2 = 4 * C.cic2_r ** 2 * 2.0 ** (C.cic2_scl - 16)
    k = 24 if C.cicn_scl_mx else 16
    g_cicn = float(C.cicn_r) ** (C.cicn_mode + 3) * 2.0 ** (C.cicn_scl - k)
    return g_cic2, g_cicn


def analyse(c1, scl1, c2, scl2):
    fs0, fs1, fs2, fs3, fs4 = rates()
    g_cic2, g_cicn = stage_gains()
    g1 = bank_sum(c1) * 2.0 ** (scl1 - 21)
    g2 = bank_sum(c2) * 2.0 ** (scl2 - 21)
    g_gain = C.gain_i / 16384.0
    b1 = bank_to_cos(c1) / bank_sum(c1)
    b2 = bank_to_cos(c2) / bank_sum(c2)

    fpass = np.linspace(0, C.pass_hz, 2001)
    h_cic2 = cic2_mag(fpass)
    h_cicn = cicn_mag(fpass)
    h1 = fir_mag(b1, fpass, fs2)
    h2 = fir_mag(b2, fpass, fs3)
    total = h_cic2 * h_cicn * h1 * h2
    tdb = 20 * np.log10(total)
    ripple = tdb.max() - tdb.min()

    # cumulative peak gain at each stage output for a full-scale pass-band
    # tone; at the CIC2 output with its mixer image at full size on top
    peaks = [
        ("CIC2", 2 * g_cic2 * h_cic2.max()),
        ("CICN", g_cic2 * g_cicn * (h_cic2 * h_cicn).max()),
        ("DFIR1", g_cic2 * g_cicn * g1 * (h_cic2 * h_cicn * h1).max()),
        ("DFIR2", g_cic2 * g_cicn * g1 * g2 * total.max()),
        ("GAIN", g_cic2 * g_cicn * g1 * g2 * g_gain * total.max()),
    ]

    # attenuation of what folds into the pass band at each decimation, by
    # the stages up to and including the decimating one (a stage that does
    # not decimate folds nothing)
    def atten(bands, mag):
        f = grid(bands, 4000)
        return -20 * np.log10(np.max(mag(f)) + 1e-300)

    alias = [
        ("CIC2  /%d at %.4g MHz" % (C.cic2_r, fs0 / 1e6), atten(fold_bands(fs0, fs1), cic2_mag)),
        ("CICN  /%d at %.4g MHz" % (C.cicn_r, fs1 / 1e6),
         atten(fold_bands(fs1, fs2), lambda f: cic2_mag(f) * cicn_mag(f))),
    ]
    if C.dfir1_r > 1:
        alias.append(
            ("DFIR1 /%d at %.4g kHz" % (C.dfir1_r, fs2 / 1e3),
             atten(fold_bands(fs2, fs3), lambda f: cic2_mag(f) * cicn_mag(f) * fir_mag(b1, f, fs2))))
    alias.append(
        ("DFIR2 /%d at %.4g kHz" % (C.dfir2_r, fs3 / 1e3),
         atten(fold_bands(fs3, fs4),
               lambda f: cic2_mag(f) * cicn_mag(f) * fir_mag(b1, f, fs2) * fir_mag(b2, f, fs3))))

    # chain gain as the Filters panel computes it (kp)
    a = 2.0 ** (C.cic2_scl - 16) * 4 * C.cic2_r ** 2
    k = 24 if C.cicn_scl_mx else 16
    b = 2.0 ** (C.cicn_scl - k) * float(C.cicn_r) ** (C.cicn_mode + 3)
    kp = 20 * math.log10(2.0 ** (scl2 - 21) * bank_sum(c2) * 2.0 ** (scl1 - 21) * bank_sum(c1)
                         * b * a * abs(C.gain_i / 16384.0))
    return ripple, peaks, alias, kp, (g1, g2)


def write_bank(path, c):
    with open(path, "w") as f:
        for i in range(0, len(c), 8):
            f.write(" ".join("%d" % v for v in c[i:i + 8]) + "\n")


def read_ini_sections(path):
    """Plain reading of a channel file: [SECTION] headers and name=value lines
    (the files are written without blanks around '='); comments skipped."""
    sections, cur = {}, ""
    with open(path) as f:
        for line in f:
            line = line.split("//")[0].strip()
            if line.startswith("[") and line.endswith("]"):
                cur = line[1:-1]
            elif "=" in line:
                k, v = (t.strip() for t in line.split("=", 1))
                sections.setdefault(cur, {})[k] = v
    return sections


def read_bank(path):
    with open(path) as f:
        return [int(t, 0) for t in f.read().split()]


def verify(root, c1, scl1, c2, scl2):
    """Differences between the design and the committed configuration."""
    problems = []
    for name, c in ((C.dfir1_file, c1), (C.dfir2_file, c2)):
        got = read_bank(os.path.join(root, C.directory, name))
        if got != [int(v) for v in c]:
            problems.append("%s/%s differs from the design" % (C.directory, name))
    want = {
        "CIC2": {"mode": 1, "dr": C.cic2_r - 1, "scl": C.cic2_scl},
        "CICN": {"mode": C.cicn_mode, "dr": C.cicn_r - 1, "scl": C.cicn_scl, "scl_mx": C.cicn_scl_mx},
        "DFIR1": {"order": C.dfir1_order, "sym": 0, "dr": C.dfir1_r - 1, "scl": scl1,
                  "file_coef": C.coef_prefix + C.dfir1_file},
        "DFIR2": {"order": C.dfir2_order, "sym": 0, "dr": C.dfir2_r - 1, "scl": scl2,
                  "file_coef": C.coef_prefix + C.dfir2_file},
        "GAIN": {"I": C.gain_i, "Q": 0},
    }
    ini = read_ini_sections(os.path.join(root, C.directory, C.channel_ini))
    for sec, keys in want.items():
        for k, v in keys.items():
            got = ini.get(sec, {}).get(k)
            ok = got is not None and (got == v if isinstance(v, str) else int(got, 0) == v)
            if not ok:
                problems.append("%s [%s] %s = %s, design has %s" % (C.channel_ini, sec, k, got, v))
    return problems


def main():
    global C
    args = sys.argv[1:]
    if "--chain" in args:
        i = args.index("--chain")
        name = args[i + 1] if i + 1 < len(args) else ""
        if name not in CHAINS:
            sys.exit("--chain takes one of: " + ", ".join(CHAINS))
        C = CHAINS[name]
        del args[i:i + 2]
    check_only = "--check" in args or "--verify" in args
    fs0, fs1, fs2, fs3, fs4 = rates()
    b1, b2 = design()
    g_cic2, g_cicn = stage_gains()
    head = 10 ** (-HEADROOM_DB / 20)

    # DFIR1 brings the chain back to just under full scale; DFIR2 stays at
    # unity DC gain (its pass band lifts by the droop it undoes).
    fpass = np.linspace(0, C.pass_hz, 2001)
    pre = cic2_mag(fpass) * cicn_mag(fpass)
    h1 = fir_mag(b1, fpass, fs2) / fir_mag(b1, [0.0], fs2)[0]
    g1 = head / (g_cic2 * g_cicn * (pre * h1).max())
    c1, scl1 = quantise(b1, g1)
    h2 = fir_mag(b2, fpass, fs3) / fir_mag(b2, [0.0], fs3)[0]
    g_after1 = g_cic2 * g_cicn * bank_sum(c1) * 2.0 ** (scl1 - 21)
    g2 = head / (g_after1 * (pre * h1 * h2).max())
    c2, scl2 = quantise(b2, g2)

    assert len(c1) <= MAX_COEFS and len(c2) <= MAX_COEFS
    ripple, peaks, alias, kp, (gf1, gf2) = analyse(c1, scl1, c2, scl2)

    print("chain: %.4g MHz -> CIC2 /%d -> %.4f MHz -> CICN /%d (order %d) -> %.4f kHz"
          % (fs0 / 1e6, C.cic2_r, fs1 / 1e6, C.cicn_r, C.cicn_mode + 3, fs2 / 1e3))
    print("       -> DFIR1 /%d -> %.3f kHz -> DFIR2 /%d -> %.3f kHz (total /%d)"
          % (C.dfir1_r, fs3 / 1e3, C.dfir2_r, fs4 / 1e3, C.cic2_r * C.cicn_r * C.dfir1_r * C.dfir2_r))
    print("DFIR1: order %d, %d coefficients, scl %d, sum %d, gain %.4f"
          % (C.dfir1_order, len(c1), scl1, bank_sum(c1), gf1))
    print("DFIR2: order %d, %d coefficients, scl %d, sum %d, gain %.4f"
          % (C.dfir2_order, len(c2), scl2, bank_sum(c2), gf2))
    print("pass band +-%.4g kHz ripple (chain, CIC droop included): %.3f dB" % (C.pass_hz / 1e3, ripple))
    for name, db in alias:
        print("fold into +-%.4g kHz at %s: %.1f dB down" % (C.pass_hz / 1e3, name, db))
    for name, peak in peaks:
        print("peak gain at %-5s output for a full-scale tone: %.4f (%.2f dB)"
              % (name, peak, 20 * math.log10(peak)))
    print("chain gain kp: %.3f dB" % kp)

    ok = ripple <= MAX_RIPPLE_DB and all(db >= MIN_ALIAS_DB for _, db in alias) \
        and all(p <= 1.0 for _, p in peaks)
    print("targets met" if ok else "TARGETS NOT MET")

    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    if "--verify" in args:
        problems = verify(root, c1, scl1, c2, scl2)
        for p in problems:
            print(p)
        print("configuration matches the design" if not problems else "CONFIGURATION DIFFERS")
        ok = ok and not problems
    if not check_only:
        write_bank(os.path.join(root, C.directory, C.dfir1_file), c1)
        write_bank(os.path.join(root, C.directory, C.dfir2_file), c2)
        print("wrote %s/%s and %s/%s; ini keys:"
              % (C.directory, C.dfir1_file, C.directory, C.dfir2_file))
        print("  [DFIR1] order = %d  sym = 0  dr = %d  scl = %d" % (C.dfir1_order, C.dfir1_r - 1, scl1))
        print("  [DFIR2] order = %d  sym = 0  dr = %d  scl = %d" % (C.dfir2_order, C.dfir2_r - 1, scl2))
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
