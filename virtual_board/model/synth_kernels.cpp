#include "synth_kernels.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <vector>

#include "channel_model.h"
#include "station_synth.h"

#if defined(__x86_64__) && defined(__GNUC__)
#define QV_MODEL_X86 1
#include <immintrin.h>
#endif

namespace qv01model {

namespace {

// ------------------------------------------------------------ plain kernels

// A steady oscillator as kLanes phasors side by side: lane l holds samples
// kLanes j + l, and every lane turns by kLanes phase steps per group. The
// lanes start from the exact phase of the block's first sample (in double
// precision), so a block of 4096 samples ends within about 1e-5 of the exact
// sine; the next block starts exact again. 32 lanes are four independent
// vector recurrences, enough to hide their latency.
constexpr size_t kLanes = 32;
struct Lanes {
    float re[kLanes], im[kLanes];  // the phasors of the current group; im is the sine
    float wr, wi;                  // the turn per group, e^{j 2 pi kLanes inc / 2^32}
};

// The turns of a phase step: per sample (double) and per group (float).
struct Turns {
    uint32_t inc = 0;
    bool known = false;
    double wr = 1.0, wi = 0.0;
    float gr = 1.0f, gi = 0.0f;
};

Turns make_turns(uint32_t inc) {
    constexpr double kRad = 6.283185307179586 / 4294967296.0;
    Turns t;
    t.inc = inc;
    t.known = true;
    t.wr = std::cos(kRad * double(inc));
    t.wi = std::sin(kRad * double(inc));
    // The turn per group rounded to float, or a neighbour one unit in the
    // last place away whose magnitude is closer to 1: the lanes keep their
    // amplitude within about 1e-6 over a block instead of drifting by up to 1e-5.
    const double c = kRad * double(uint32_t(inc * uint32_t(kLanes)));
    const float cr = float(std::cos(c)), ci = float(std::sin(c));
    double best = 2.0;
    for (float r : {cr, std::nextafter(cr, -2.0f), std::nextafter(cr, 2.0f)}) {
        for (float i : {ci, std::nextafter(ci, -2.0f), std::nextafter(ci, 2.0f)}) {
            const double m = std::fabs(double(r) * r + double(i) * i - 1.0);
            if (m < best) {
                best = m;
                t.gr = r;
                t.gi = i;
            }
        }
    }
    return t;
}

Lanes start_lanes(uint32_t ph, uint32_t inc) {
    // A scene has a few dozen oscillators, each started once per block: the
    // turns of the last steps seen are kept (per thread; the values are the
    // same either way).
    thread_local Turns seen[64];
    Turns& t = seen[(inc * 0x9E3779B9u) >> 26];
    if (!t.known || t.inc != inc) t = make_turns(inc);
    constexpr double kRad = 6.283185307179586 / 4294967296.0;
    const double a = kRad * double(ph);
    double zr = std::cos(a), zi = std::sin(a);
    Lanes s;
    for (size_t l = 0; l < kLanes; ++l) {
        s.re[l] = float(zr);
        s.im[l] = float(zi);
        const double r = zr * t.wr - zi * t.wi;
        zi = zr * t.wi + zi * t.wr;
        zr = r;
    }
    s.wr = t.gr;
    s.wi = t.gi;
    return s;
}

// The next group.
inline void turn(Lanes& s) {
    for (size_t l = 0; l < kLanes; ++l) {
        const float r = s.re[l] * s.wr - s.im[l] * s.wi;
        s.im[l] = s.re[l] * s.wi + s.im[l] * s.wr;
        s.re[l] = r;
    }
}

// dst[i] += f(i) * (sine of sample i), group by group from `s`, for the
// samples of a block from `i` to `n` (the vector loops' tails continue here).
template <typename F>
inline void add_lanes(Lanes& s, float* dst, size_t i, size_t n, F f) {
    for (; i < n; i += kLanes) {
        const size_t len = std::min(kLanes, n - i);
        for (size_t l = 0; l < len; ++l) dst[i + l] += f(i + l) * s.im[l];
        turn(s);
    }
}

void add_tone_plain(float* dst, size_t n, uint32_t ph, uint32_t inc, float amp) {
    Lanes s = start_lanes(ph, inc);
    add_lanes(s, dst, 0, n, [amp](size_t) { return amp; });
}

void add_tones_plain(float* dst, size_t n, const Tone* tones, size_t count, bool from_zero) {
    if (from_zero) std::fill(dst, dst + n, 0.0f);
    for (size_t k = 0; k < count; ++k)
        add_tone_plain(dst, n, tones[k].ph, tones[k].inc, tones[k].amp);
}

void add_tone_env_plain(float* dst, size_t n, uint32_t ph, uint32_t inc, float amp,
                        const float* env) {
    Lanes s = start_lanes(ph, inc);
    add_lanes(s, dst, 0, n, [=](size_t i) { return env[i] * amp; });
}

void add_modulated_plain(float* dst, const float* x, size_t n, uint32_t ph, uint32_t inc,
                         float scale) {
    Lanes s = start_lanes(ph, inc);
    add_lanes(s, dst, 0, n, [=](size_t i) { return scale * x[i]; });
}

// Cosine and sine of th (2^32 = one cycle): the phase to the nearest
// quarter cycle plus a remainder x within +-pi/4, polynomials in x (within
// about 1e-7), then turned by the quarters. The vector loops do the same
// operations lane by lane.
constexpr float kS1 = -1.6666654611e-1f, kS2 = 8.3321608736e-3f, kS3 = -1.9515295891e-4f;
constexpr float kC1 = 4.166664568298827e-2f, kC2 = -1.388731625493765e-3f,
                kC3 = 2.443315711809948e-5f;
constexpr float kRadPerStep = 1.4629180792671596e-9f;  // 2 pi / 2^32

inline void cos_sin(uint32_t th, float& co, float& si) {
    const uint32_t q = (th + (1u << 29)) >> 30;
    const float x = float(int32_t(th - (q << 30))) * kRadPerStep;
    const float z = x * x;
    const float s = x + x * z * (kS1 + z * (kS2 + z * kS3));
    const float c = 1.0f - 0.5f * z + z * z * (kC1 + z * (kC2 + z * kC3));
    // Odd quarters swap the two, the quarter's sign bits flip them: on the
    // bits, as the vector loops do, without branches.
    uint32_t sb, cb;
    std::memcpy(&sb, &s, 4);
    std::memcpy(&cb, &c, 4);
    const uint32_t swap = 0u - (q & 1);
    const uint32_t ab = ((sb ^ cb) & swap) ^ cb, bb = ((sb ^ cb) & swap) ^ sb;
    const uint32_t cos_bits = ab ^ (((q + 1) & 2) << 30), sin_bits = bb ^ ((q & 2) << 30);
    std::memcpy(&co, &cos_bits, 4);
    std::memcpy(&si, &sin_bits, 4);
}

uint32_t component_plain(const ComponentBlock& c) {
    // Everything in locals: the accumulators may alias the block's fields.
    const float* mpx = c.mpx;
    const float* h2_tab = c.h2;
    const float* hn_tab = c.hn;
    float* acc = c.acc;
    float* acc2 = c.acc2;
    const size_t q = c.q_stride;
    const float k_inc = c.k_inc, k_idx = c.k_idx, amp = c.amp;
    const uint32_t c_inc = c.c_inc, nco_inc = c.nco_inc, mask = c.table_mask;
    const bool on[2] = {c.on[0], c.on[1]};
    const float base[2] = {c.base[0], c.base[1]};
    uint32_t phi = c.phase, nco = c.nco;
    // A run of samples at a time, each step over all of them: the cosines
    // and sines of a run do not wait for each other.
    constexpr size_t kRun = 64;
    uint32_t ph[kRun] = {}, th[kRun], e[kRun];
    float co[kRun], si[kRun];
    for (size_t i0 = 0; i0 < c.m; i0 += kRun) {
        const size_t len = std::min(kRun, c.m - i0);
        // The run's multiplex, zero past the block's end (full runs vectorise).
        float dv[kRun] = {};
        std::copy(mpx + i0, mpx + i0 + len, dv);
        for (size_t j = 0; j < len; ++j) {
            phi += c_inc + uint32_t(int64_t(k_inc * dv[j]));
            ph[j] = phi;
        }
        for (int side = 0; side < 2; ++side) {
            if (!on[side]) continue;
            const float b = base[side];
            if (side == 0) {
                for (size_t j = 0; j < kRun; ++j) {
                    e[j] = uint32_t(int(b + k_idx * dv[j])) & mask;
                    th[j] = ph[j] + nco + uint32_t(j) * nco_inc;
                }
            } else {
                for (size_t j = 0; j < kRun; ++j) {
                    e[j] = uint32_t(int(b + k_idx * -dv[j])) & mask;
                    th[j] = 0u - ph[j] + nco + uint32_t(j) * nco_inc;
                }
            }
            for (size_t j = 0; j < kRun; ++j) cos_sin(th[j], co[j], si[j]);
            float* a = acc + i0;
            for (size_t j = 0; j < len; ++j) {
                a[j] += amp * hn_tab[e[j]] * co[j];
                a[q + j] += amp * hn_tab[e[j]] * si[j];
            }
            if (acc2) {
                float* a2 = acc2 + i0;
                for (size_t j = 0; j < len; ++j) {
                    a2[j] += amp * h2_tab[e[j]] * co[j];
                    a2[q + j] += amp * h2_tab[e[j]] * si[j];
                }
            }
        }
        nco += uint32_t(len) * nco_inc;
    }
    return phi;
}

// One CICN output sample; `ni`, `nq` the noise already drawn (0 without).
inline void cicn_sample(CicnOutput& o, size_t i, float ni, float nq) {
    double yi = o.acc[i], yq = o.acc[o.q_stride + i];
    if (o.sigma > 0.0f) {
        yi += ni;
        yq += nq;
    }
    yi *= o.gain;
    yq *= o.gain;
    if (o.acc2) {
        // A saturating CIC2 output limits what the CICN can deliver at this
        // instant by the same ratio.
        const double ci = std::floor(o.acc2[i] * o.gain2 + 0.5),
                     cq = std::floor(o.acc2[o.q_stride + i] * o.gain2 + 0.5);
        double r = 1.0;
        if (ci > 32767.0) r = std::min(r, 32767.0 / ci);
        if (ci < -32768.0) r = std::min(r, -32768.0 / ci);
        if (cq > 32767.0) r = std::min(r, 32767.0 / cq);
        if (cq < -32768.0) r = std::min(r, -32768.0 / cq);
        if (r < 1.0) {
            o.cic2_clipped = true;
            yi *= r;
            yq *= r;
        }
    }
    o.out_i[i] = saturate(int64_t(std::floor(yi + 0.5)), o.cicn_clipped);
    o.out_q[i] = saturate(int64_t(std::floor(yq + 0.5)), o.cicn_clipped);
}

void cicn_output_plain(CicnOutput& o) {
    const bool noise = o.sigma > 0.0f;
    for (size_t i = 0; i < o.m; ++i) {
        cicn_sample(o, i, noise ? o.sigma * o.gauss_i[i] : 0.0f,
                    noise ? o.sigma * o.gauss_q[i] : 0.0f);
    }
}

void fir_dot_plain(const FirTaps& t, const int16_t* x_i, const int16_t* x_q, size_t first,
                   size_t step, size_t count, int64_t* acc_i, int64_t* acc_q) {
    for (size_t k = 0; k < count; ++k) {
        const size_t n = first + k * step;
        int64_t ai = 0, aq = 0;
        for (size_t j = 0; j < t.len; ++j) {
            ai += int64_t(t.taps[j]) * x_i[n - j];
            aq += int64_t(t.taps[j]) * x_q[n - j];
        }
        acc_i[k] = ai;
        acc_q[k] = aq;
    }
}

float peak_abs_plain(const float* x, size_t n) {
    float p = 0.0f;
    for (size_t i = 0; i < n; ++i) p = std::max(p, std::fabs(x[i]));
    return p;
}

const SynthKernels kPlain = {
    add_tones_plain,   add_tone_env_plain, add_modulated_plain, component_plain,
    cicn_output_plain, fir_dot_plain,      peak_abs_plain,      "plain"};

#ifdef QV_MODEL_X86

// ------------------------------------------------------------- AVX2 kernels

#define QV_AVX2 __attribute__((target("avx2")))

QV_AVX2 inline __m256i lane_steps(uint32_t ph, uint32_t inc) {
    const __m256i k = _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7);
    return _mm256_add_epi32(_mm256_set1_epi32(int(ph)),
                            _mm256_mullo_epi32(k, _mm256_set1_epi32(int(inc))));
}

// An oscillator's lanes in registers, eight per register.
constexpr size_t kLaneRegs = kLanes / 8;
struct VecLanes {
    __m256 re[kLaneRegs], im[kLaneRegs];
    __m256 wr, wi;
};

QV_AVX2 inline __attribute__((always_inline)) VecLanes load_lanes(const Lanes& s) {
    VecLanes v;
#pragma GCC unroll 4
    for (size_t r = 0; r < kLaneRegs; ++r) {
        v.re[r] = _mm256_loadu_ps(s.re + 8 * r);
        v.im[r] = _mm256_loadu_ps(s.im + 8 * r);
    }
    v.wr = _mm256_set1_ps(s.wr);
    v.wi = _mm256_set1_ps(s.wi);
    return v;
}

QV_AVX2 inline __attribute__((always_inline)) void store_lanes(const VecLanes& v, Lanes& s) {
#pragma GCC unroll 4
    for (size_t r = 0; r < kLaneRegs; ++r) {
        _mm256_storeu_ps(s.re + 8 * r, v.re[r]);
        _mm256_storeu_ps(s.im + 8 * r, v.im[r]);
    }
}

QV_AVX2 inline __attribute__((always_inline)) void turn(VecLanes& v, size_t r) {
    const __m256 t = _mm256_sub_ps(_mm256_mul_ps(v.re[r], v.wr), _mm256_mul_ps(v.im[r], v.wi));
    v.im[r] = _mm256_add_ps(_mm256_mul_ps(v.re[r], v.wi), _mm256_mul_ps(v.im[r], v.wr));
    v.re[r] = t;
}

// dst[i] += w(i) * (sine of sample i), w(i) = a for a steady tone, else
// a * f[i] (`a_first`) or f[i] * a: an enveloped tone (f the envelope, a the
// amplitude) or a modulated carrier (f the modulation, a its scale). With
// `zero`, dst is written as if it held zeros.
QV_AVX2 void add_osc_avx2(float* dst, size_t n, uint32_t ph, uint32_t inc, float a, const float* f,
                          bool a_first, bool zero) {
    Lanes s = start_lanes(ph, inc);
    VecLanes v = load_lanes(s);
    const __m256 av = _mm256_set1_ps(a);
    size_t i = 0;
    for (; i + kLanes <= n; i += kLanes) {
#pragma GCC unroll 4
        for (size_t r = 0; r < kLaneRegs; ++r) {
            float* d = dst + i + 8 * r;
            __m256 w = av;
            if (f) {
                const __m256 fv = _mm256_loadu_ps(f + i + 8 * r);
                w = a_first ? _mm256_mul_ps(av, fv) : _mm256_mul_ps(fv, av);
            }
            const __m256 x = zero ? _mm256_setzero_ps() : _mm256_loadu_ps(d);
            _mm256_storeu_ps(d, _mm256_add_ps(x, _mm256_mul_ps(w, v.im[r])));
            turn(v, r);
        }
    }
    store_lanes(v, s);
    if (zero) std::fill(dst + i, dst + n, 0.0f);
    if (!f)
        add_lanes(s, dst, i, n, [a](size_t) { return a; });
    else if (a_first)
        add_lanes(s, dst, i, n, [=](size_t j) { return a * f[j]; });
    else
        add_lanes(s, dst, i, n, [=](size_t j) { return f[j] * a; });
}

QV_AVX2 void add_tones_avx2(float* dst, size_t n, const Tone* tones, size_t count, bool from_zero) {
    if (count == 0 && from_zero) std::fill(dst, dst + n, 0.0f);
    for (size_t k = 0; k < count; ++k)
        add_osc_avx2(dst, n, tones[k].ph, tones[k].inc, tones[k].amp, nullptr, false,
                     from_zero && k == 0);
}

QV_AVX2 void add_tone_env_avx2(float* dst, size_t n, uint32_t ph, uint32_t inc, float amp,
                               const float* env) {
    add_osc_avx2(dst, n, ph, inc, amp, env, false, false);
}

QV_AVX2 void add_modulated_avx2(float* dst, const float* x, size_t n, uint32_t ph, uint32_t inc,
                                float scale) {
    add_osc_avx2(dst, n, ph, inc, scale, x, true, false);
}

// Inclusive prefix sum of eight 32-bit lanes (modulo 2^32).
QV_AVX2 inline __m256i prefix_sum(__m256i x) {
    x = _mm256_add_epi32(x, _mm256_slli_si256(x, 4));
    x = _mm256_add_epi32(x, _mm256_slli_si256(x, 8));
    const __m256i low_total = _mm256_shuffle_epi32(x, 0xFF);
    return _mm256_add_epi32(x, _mm256_permute2x128_si256(low_total, low_total, 0x08));
}

// cos_sin of eight phases.
struct CosSin {
    __m256 co, si;
};

QV_AVX2 inline __attribute__((always_inline)) CosSin cos_sin(__m256i th) {
    const __m256i q = _mm256_srli_epi32(_mm256_add_epi32(th, _mm256_set1_epi32(1 << 29)), 30);
    const __m256 x =
        _mm256_mul_ps(_mm256_cvtepi32_ps(_mm256_sub_epi32(th, _mm256_slli_epi32(q, 30))),
                      _mm256_set1_ps(kRadPerStep));
    const __m256 z = _mm256_mul_ps(x, x);
    const __m256 ps = _mm256_add_ps(
        _mm256_set1_ps(kS1),
        _mm256_mul_ps(z,
                      _mm256_add_ps(_mm256_set1_ps(kS2), _mm256_mul_ps(z, _mm256_set1_ps(kS3)))));
    const __m256 s = _mm256_add_ps(x, _mm256_mul_ps(_mm256_mul_ps(x, z), ps));
    const __m256 pc = _mm256_add_ps(
        _mm256_set1_ps(kC1),
        _mm256_mul_ps(z,
                      _mm256_add_ps(_mm256_set1_ps(kC2), _mm256_mul_ps(z, _mm256_set1_ps(kC3)))));
    const __m256 c =
        _mm256_add_ps(_mm256_sub_ps(_mm256_set1_ps(1.0f), _mm256_mul_ps(_mm256_set1_ps(0.5f), z)),
                      _mm256_mul_ps(_mm256_mul_ps(z, z), pc));
    // Odd quarters swap the two; the sign bits come from the quarter.
    const __m256 swap = _mm256_castsi256_ps(_mm256_slli_epi32(q, 31));
    const __m256 a = _mm256_blendv_ps(c, s, swap), b = _mm256_blendv_ps(s, c, swap);
    const __m256 sign_c =
        _mm256_castsi256_ps(_mm256_slli_epi32(_mm256_add_epi32(q, _mm256_set1_epi32(1)), 30));
    const __m256 sign_s = _mm256_castsi256_ps(_mm256_slli_epi32(q, 30));
    const __m256 bit = _mm256_castsi256_ps(_mm256_set1_epi32(int(0x80000000u)));
    return {_mm256_xor_ps(a, _mm256_and_ps(sign_c, bit)),
            _mm256_xor_ps(b, _mm256_and_ps(sign_s, bit))};
}

// Eight I sums at acc, their Q sums at acc + q: += w[k] * (cos, sin)[k].
QV_AVX2 inline __attribute__((always_inline)) void turn_and_add(float* acc, size_t q,
                                                                const CosSin& cs, __m256 w) {
    _mm256_storeu_ps(acc, _mm256_add_ps(_mm256_loadu_ps(acc), _mm256_mul_ps(w, cs.co)));
    _mm256_storeu_ps(acc + q, _mm256_add_ps(_mm256_loadu_ps(acc + q), _mm256_mul_ps(w, cs.si)));
}

// One side of a component at eight samples from `at`: weighted by the
// response at its table position `pos`, turned to the phase `th`, added into
// the accumulators.
QV_AVX2 inline __attribute__((always_inline)) void add_side(const ComponentBlock& c, __m256 amp,
                                                            __m256i mask, __m256 pos, __m256i th,
                                                            size_t at) {
    const __m256i e = _mm256_and_si256(_mm256_cvttps_epi32(pos), mask);
    // The table position moves slowly with the multiplex: eight samples
    // mostly fall within eight neighbouring entries, read with one load and
    // a permutation instead of a gather.
    const int mid = (_mm256_cvtsi256_si32(e) + _mm256_extract_epi32(e, 7)) >> 1;
    const __m256i rel = _mm256_sub_epi32(e, _mm256_set1_epi32(mid - 4));
    const __m256i seven = _mm256_set1_epi32(7);
    const bool near =
        _mm256_movemask_epi8(_mm256_cmpeq_epi32(_mm256_max_epu32(rel, seven), seven)) == -1;
    const __m256 hn = near ? _mm256_permutevar8x32_ps(_mm256_loadu_ps(c.hn + (mid - 4)), rel)
                           : _mm256_i32gather_ps(c.hn, e, 4);
    const CosSin cs = cos_sin(th);
    turn_and_add(c.acc + at, c.q_stride, cs, _mm256_mul_ps(amp, hn));
    if (c.acc2) {
        const __m256 h2 = near ? _mm256_permutevar8x32_ps(_mm256_loadu_ps(c.h2 + (mid - 4)), rel)
                               : _mm256_i32gather_ps(c.h2, e, 4);
        turn_and_add(c.acc2 + at, c.q_stride, cs, _mm256_mul_ps(amp, h2));
    }
}

QV_AVX2 uint32_t component_avx2(const ComponentBlock& c) {
    // The vector conversions truncate to 32 bits: the phase steps and table
    // positions of this block must stay below 2^31 in magnitude (they do
    // unless a station's multiplex is far beyond its peak deviation).
    __m256 peak = _mm256_setzero_ps();
    const __m256 abs_mask = _mm256_castsi256_ps(_mm256_set1_epi32(0x7FFFFFFF));
    size_t i = 0;
    for (; i + 8 <= c.m; i += 8)
        peak = _mm256_max_ps(peak, _mm256_and_ps(_mm256_loadu_ps(c.mpx + i), abs_mask));
    alignas(32) float lanes[8];
    _mm256_store_ps(lanes, peak);
    double most = 0.0;
    for (float v : lanes) most = std::max(most, double(v));
    for (; i < c.m; ++i) most = std::max(most, double(std::fabs(c.mpx[i])));
    const double limit = 2147483648.0 * 0.999;
    if (!(std::fabs(double(c.k_inc)) * most < limit) ||
        !(double(c.table_mask) + 1.0 + std::fabs(double(c.k_idx)) * most < limit))
        return component_plain(c);

    const __m256 k_inc = _mm256_set1_ps(c.k_inc), k_idx = _mm256_set1_ps(c.k_idx);
    const __m256 amp = _mm256_set1_ps(c.amp);
    const __m256 base0 = _mm256_set1_ps(c.base[0]), base1 = _mm256_set1_ps(c.base[1]);
    const __m256i c_inc = _mm256_set1_epi32(int(c.c_inc));
    const __m256i mask = _mm256_set1_epi32(int(c.table_mask));
    const __m256i nco_step = _mm256_set1_epi32(int(c.nco_inc * 8u));
    const __m256i last = _mm256_set1_epi32(7);
    __m256i nco = lane_steps(c.nco, c.nco_inc);
    __m256i phi = _mm256_set1_epi32(int(c.phase));

    for (i = 0; i + 8 <= c.m; i += 8) {
        const __m256 dv = _mm256_loadu_ps(c.mpx + i);
        const __m256i inc = _mm256_add_epi32(c_inc, _mm256_cvttps_epi32(_mm256_mul_ps(k_inc, dv)));
        phi = _mm256_add_epi32(_mm256_permutevar8x32_epi32(phi, last), prefix_sum(inc));
        const __m256 p = _mm256_mul_ps(k_idx, dv);
        if (c.on[0]) add_side(c, amp, mask, _mm256_add_ps(base0, p), _mm256_add_epi32(phi, nco), i);
        if (c.on[1])
            add_side(c, amp, mask, _mm256_sub_ps(base1, p),
                     _mm256_add_epi32(_mm256_sub_epi32(_mm256_setzero_si256(), phi), nco), i);
        nco = _mm256_add_epi32(nco, nco_step);
    }
    ComponentBlock rest = c;
    rest.phase = uint32_t(_mm256_extract_epi32(_mm256_permutevar8x32_epi32(phi, last), 0));
    if (i == c.m) return rest.phase;
    rest.mpx += i;
    rest.m -= i;
    rest.nco = c.nco + uint32_t(i) * c.nco_inc;
    rest.acc += i;
    if (rest.acc2) rest.acc2 += i;
    return component_plain(rest);
}

// Four samples' I and Q sums, widened.
QV_AVX2 inline __attribute__((always_inline)) void load_sums(const float* p, size_t q, __m256d& i,
                                                             __m256d& v) {
    i = _mm256_cvtps_pd(_mm_loadu_ps(p));
    v = _mm256_cvtps_pd(_mm_loadu_ps(p + q));
}

QV_AVX2 inline __attribute__((always_inline)) __m256d outside(__m256d v, __m256d top,
                                                              __m256d bottom) {
    return _mm256_or_pd(_mm256_cmp_pd(v, top, _CMP_GT_OQ), _mm256_cmp_pd(v, bottom, _CMP_LT_OQ));
}

QV_AVX2 void cicn_output_avx2(CicnOutput& o) {
    const bool noise = o.sigma > 0.0f;
    const __m256d gain = _mm256_set1_pd(o.gain), gain2 = _mm256_set1_pd(o.gain2);
    const __m256d half = _mm256_set1_pd(0.5);
    const __m256d top = _mm256_set1_pd(32767.0), bottom = _mm256_set1_pd(-32768.0);
    const __m128 sigma = _mm_set1_ps(o.sigma);
    auto plain = [&](size_t i) {
        cicn_sample(o, i, noise ? o.sigma * o.gauss_i[i] : 0.0f,
                    noise ? o.sigma * o.gauss_q[i] : 0.0f);
    };
    size_t i = 0;
    for (; i + 4 <= o.m; i += 4) {
        __m256d yi, yq;
        load_sums(o.acc + i, o.q_stride, yi, yq);
        if (noise) {
            yi = _mm256_add_pd(yi, _mm256_cvtps_pd(_mm_mul_ps(sigma, _mm_loadu_ps(o.gauss_i + i))));
            yq = _mm256_add_pd(yq, _mm256_cvtps_pd(_mm_mul_ps(sigma, _mm_loadu_ps(o.gauss_q + i))));
        }
        yi = _mm256_mul_pd(yi, gain);
        yq = _mm256_mul_pd(yq, gain);
        if (o.acc2) {
            __m256d ci, cq;
            load_sums(o.acc2 + i, o.q_stride, ci, cq);
            ci = _mm256_floor_pd(_mm256_add_pd(_mm256_mul_pd(ci, gain2), half));
            cq = _mm256_floor_pd(_mm256_add_pd(_mm256_mul_pd(cq, gain2), half));
            if (_mm256_movemask_pd(
                    _mm256_or_pd(outside(ci, top, bottom), outside(cq, top, bottom)))) {
                // A clipping CIC2 among these four samples: the plain path.
                for (size_t r = i; r < i + 4; ++r) plain(r);
                continue;
            }
        }
        const __m256d ri = _mm256_floor_pd(_mm256_add_pd(yi, half));
        const __m256d rq = _mm256_floor_pd(_mm256_add_pd(yq, half));
        if (_mm256_movemask_pd(_mm256_or_pd(outside(ri, top, bottom), outside(rq, top, bottom))))
            o.cicn_clipped = true;
        const __m128i qi = _mm256_cvttpd_epi32(_mm256_min_pd(_mm256_max_pd(ri, bottom), top));
        const __m128i qq = _mm256_cvttpd_epi32(_mm256_min_pd(_mm256_max_pd(rq, bottom), top));
        _mm_storel_epi64(reinterpret_cast<__m128i*>(o.out_i + i), _mm_packs_epi32(qi, qi));
        _mm_storel_epi64(reinterpret_cast<__m128i*>(o.out_q + i), _mm_packs_epi32(qq, qq));
    }
    for (; i < o.m; ++i) plain(i);
}

// Sixteen taps at a time with 16-bit products summed in pairs (vpmaddwd):
// each 32-bit lane sums its share of the taps, then the lanes add up in 64 bits.
QV_AVX2 void fir_dot_avx2(const FirTaps& t, const int16_t* x_i, const int16_t* x_q, size_t first,
                          size_t step, size_t count, int64_t* acc_i, int64_t* acc_q) {
    if (!t.packed) {
        fir_dot_plain(t, x_i, x_q, first, step, count, acc_i, acc_q);
        return;
    }
    const size_t chunks = t.padded / 16;
    const bool tail = t.padded % 16 != 0;  // eight more taps, into the low four lanes
    const __m256i* rev = reinterpret_cast<const __m256i*>(t.rev);
    const __m128i rev_tail = tail ? _mm_loadu_si128(reinterpret_cast<const __m128i*>(rev + chunks))
                                  : _mm_setzero_si128();
    for (size_t k = 0; k < count; ++k) {
        const size_t start = first + k * step + 1 - t.len;  // oldest sample of the window
        const __m256i* pi = reinterpret_cast<const __m256i*>(x_i + start);
        const __m256i* pq = reinterpret_cast<const __m256i*>(x_q + start);
        __m256i si = _mm256_setzero_si256(), sq = _mm256_setzero_si256();
        for (size_t c = 0; c < chunks; ++c) {
            const __m256i tc = _mm256_loadu_si256(rev + c);
            si = _mm256_add_epi32(si, _mm256_madd_epi16(_mm256_loadu_si256(pi + c), tc));
            sq = _mm256_add_epi32(sq, _mm256_madd_epi16(_mm256_loadu_si256(pq + c), tc));
        }
        if (tail) {
            const __m128i ti = _mm_madd_epi16(
                _mm_loadu_si128(reinterpret_cast<const __m128i*>(pi + chunks)), rev_tail);
            const __m128i tq = _mm_madd_epi16(
                _mm_loadu_si128(reinterpret_cast<const __m128i*>(pq + chunks)), rev_tail);
            si = _mm256_add_epi32(si, _mm256_zextsi128_si256(ti));
            sq = _mm256_add_epi32(sq, _mm256_zextsi128_si256(tq));
        }
        // Eight lanes to 64-bit sums, I and Q side by side.
        const __m256i wi = _mm256_add_epi64(_mm256_cvtepi32_epi64(_mm256_castsi256_si128(si)),
                                            _mm256_cvtepi32_epi64(_mm256_extracti128_si256(si, 1)));
        const __m256i wq = _mm256_add_epi64(_mm256_cvtepi32_epi64(_mm256_castsi256_si128(sq)),
                                            _mm256_cvtepi32_epi64(_mm256_extracti128_si256(sq, 1)));
        const __m256i u =
            _mm256_add_epi64(_mm256_unpacklo_epi64(wi, wq), _mm256_unpackhi_epi64(wi, wq));
        alignas(16) int64_t iq[2];
        _mm_store_si128(reinterpret_cast<__m128i*>(iq),
                        _mm_add_epi64(_mm256_castsi256_si128(u), _mm256_extracti128_si256(u, 1)));
        acc_i[k] = iq[0];
        acc_q[k] = iq[1];
    }
}

QV_AVX2 float peak_abs_avx2(const float* x, size_t n) {
    const __m256 abs_mask = _mm256_castsi256_ps(_mm256_set1_epi32(0x7FFFFFFF));
    __m256 p = _mm256_setzero_ps();
    size_t i = 0;
    for (; i + 8 <= n; i += 8)
        p = _mm256_max_ps(p, _mm256_and_ps(_mm256_loadu_ps(x + i), abs_mask));
    __m128 q = _mm_max_ps(_mm256_castps256_ps128(p), _mm256_extractf128_ps(p, 1));
    q = _mm_max_ps(q, _mm_movehl_ps(q, q));
    q = _mm_max_ss(q, _mm_shuffle_ps(q, q, 1));
    return std::max(_mm_cvtss_f32(q), peak_abs_plain(x + i, n - i));
}

const SynthKernels kVector = {
    add_tones_avx2,   add_tone_env_avx2, add_modulated_avx2, component_avx2,
    cicn_output_avx2, fir_dot_avx2,      peak_abs_avx2,      "avx2"};

bool cpu_has_avx2() {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2");
}

#endif  // QV_MODEL_X86

const SynthKernels* best_kernels() {
#ifdef QV_MODEL_X86
    static const bool avx2 = cpu_has_avx2();
    if (avx2) return &kVector;
#endif
    return &kPlain;
}

std::atomic<const SynthKernels*> g_kernels{nullptr};

}  // namespace

const SynthKernels& synth_kernels() {
    const SynthKernels* k = g_kernels.load(std::memory_order_acquire);
    if (!k) {
        k = best_kernels();
        const SynthKernels* expected = nullptr;
        if (!g_kernels.compare_exchange_strong(expected, k, std::memory_order_acq_rel))
            k = expected;
    }
    return *k;
}

bool vector_kernels_available() { return best_kernels() != &kPlain; }

void use_vector_kernels(bool on) {
    g_kernels.store(on ? best_kernels() : &kPlain, std::memory_order_release);
}

}  // namespace qv01model
