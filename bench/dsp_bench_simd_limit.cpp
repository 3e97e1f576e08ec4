#include "dsp_bench_simd_limit.h"

#include <fftw3.h>
#include <immintrin.h>

#include <cstring>
#include <new>

#include "power_spectrum_estimator.h"

#define LIMIT_AVX2 __attribute__((target("avx2,fma")))

namespace simd_limit {
namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kTanPi8 = 0.41421356237309504880;
constexpr double kAtan[8] = {0.99999999999937161,  -0.333333332788254,  0.19999993216370196,
                             -0.14285392015483267, 0.11103545595861634, -0.089932980715365707,
                             0.069773164911016566, -0.03770653417056772};
constexpr double kMeanNew = 0.0001, kMeanOld = 0.9999;

// Brightened green: g + (255 - g) / 2.
struct BrightTable {
    unsigned char v[256];
    BrightTable() {
        for (int g = 0; g < 256; ++g) v[g] = static_cast<unsigned char>(g + (255 - g) / 2);
    }
};
const BrightTable kBright;

template <class T>
struct AlignedFree {
    void operator()(T* p) const { ::operator delete[](p, std::align_val_t(64)); }
};
template <class T>
std::unique_ptr<T[], AlignedFree<T>> aligned_array(size_t n) {
    return std::unique_ptr<T[], AlignedFree<T>>(new (std::align_val_t(64)) T[n]());
}

// Four lanes of x shifted up by n lanes, zeros coming in.
template <int n>
LIMIT_AVX2 inline __attribute__((always_inline)) __m256d shift_up(__m256d x) {
    const __m256d z = _mm256_setzero_pd();
    if (n == 1) return _mm256_blend_pd(_mm256_permute4x64_pd(x, 0x90), z, 0x1);
    return _mm256_blend_pd(_mm256_permute4x64_pd(x, 0x40), z, 0x3);
}

// Angles of eight conjugate products in single precision: octant
// reduction and the arctangent polynomial.
LIMIT_AVX2 inline __attribute__((always_inline)) __m256 angle8_float(__m256 re, __m256 im) {
    const __m256 sign = _mm256_set1_ps(-0.0f), zero = _mm256_setzero_ps();
    const __m256 ax = _mm256_andnot_ps(sign, re), ay = _mm256_andnot_ps(sign, im);
    const __m256 mx = _mm256_max_ps(ax, ay), mn = _mm256_min_ps(ax, ay);
    const __m256 reduce =
        _mm256_cmp_ps(mn, _mm256_mul_ps(mx, _mm256_set1_ps(float(kTanPi8))), _CMP_GT_OQ);
    const __m256 u = _mm256_div_ps(_mm256_blendv_ps(mn, _mm256_sub_ps(mn, mx), reduce),
                                   _mm256_blendv_ps(mx, _mm256_add_ps(mn, mx), reduce));
    const __m256 s = _mm256_mul_ps(u, u);
    const __m256 s2 = _mm256_mul_ps(s, s), s4 = _mm256_mul_ps(s2, s2);
    __m256 c[8];
    for (int i = 0; i < 8; ++i) c[i] = _mm256_set1_ps(static_cast<float>(kAtan[i]));
    const __m256 p01 = _mm256_fmadd_ps(c[1], s, c[0]), p23 = _mm256_fmadd_ps(c[3], s, c[2]);
    const __m256 p45 = _mm256_fmadd_ps(c[5], s, c[4]), p67 = _mm256_fmadd_ps(c[7], s, c[6]);
    const __m256 p =
        _mm256_fmadd_ps(_mm256_fmadd_ps(p67, s2, p45), s4, _mm256_fmadd_ps(p23, s2, p01));
    __m256 ang =
        _mm256_fmadd_ps(u, p, _mm256_and_ps(reduce, _mm256_set1_ps(static_cast<float>(kPi / 4))));
    ang = _mm256_blendv_ps(ang, _mm256_sub_ps(_mm256_set1_ps(static_cast<float>(kPi / 2)), ang),
                           _mm256_cmp_ps(ay, ax, _CMP_GT_OQ));
    ang = _mm256_blendv_ps(ang, _mm256_sub_ps(_mm256_set1_ps(static_cast<float>(kPi)), ang),
                           _mm256_cmp_ps(re, zero, _CMP_LT_OQ));
    return _mm256_xor_ps(ang, _mm256_and_ps(im, sign));
}

// The same for four products in double, rounded to float once.
LIMIT_AVX2 inline __attribute__((always_inline)) __m128 angle4_double(__m256d re, __m256d im) {
    const __m256d sign = _mm256_set1_pd(-0.0), zero = _mm256_setzero_pd();
    const __m256d ax = _mm256_andnot_pd(sign, re), ay = _mm256_andnot_pd(sign, im);
    const __m256d mx = _mm256_max_pd(ax, ay), mn = _mm256_min_pd(ax, ay);
    const __m256d reduce =
        _mm256_cmp_pd(mn, _mm256_mul_pd(mx, _mm256_set1_pd(kTanPi8)), _CMP_GT_OQ);
    const __m256d u = _mm256_div_pd(_mm256_blendv_pd(mn, _mm256_sub_pd(mn, mx), reduce),
                                    _mm256_blendv_pd(mx, _mm256_add_pd(mn, mx), reduce));
    const __m256d s = _mm256_mul_pd(u, u);
    const __m256d s2 = _mm256_mul_pd(s, s), s4 = _mm256_mul_pd(s2, s2);
    __m256d c[8];
    for (int i = 0; i < 8; ++i) c[i] = _mm256_set1_pd(kAtan[i]);
    const __m256d p01 = _mm256_fmadd_pd(c[1], s, c[0]), p23 = _mm256_fmadd_pd(c[3], s, c[2]);
    const __m256d p45 = _mm256_fmadd_pd(c[5], s, c[4]), p67 = _mm256_fmadd_pd(c[7], s, c[6]);
    const __m256d p =
        _mm256_fmadd_pd(_mm256_fmadd_pd(p67, s2, p45), s4, _mm256_fmadd_pd(p23, s2, p01));
    __m256d ang = _mm256_fmadd_pd(u, p, _mm256_and_pd(reduce, _mm256_set1_pd(kPi / 4)));
    ang = _mm256_blendv_pd(ang, _mm256_sub_pd(_mm256_set1_pd(kPi / 2), ang),
                           _mm256_cmp_pd(ay, ax, _CMP_GT_OQ));
    ang = _mm256_blendv_pd(ang, _mm256_sub_pd(_mm256_set1_pd(kPi), ang),
                           _mm256_cmp_pd(re, zero, _CMP_LT_OQ));
    return _mm256_cvtpd_ps(_mm256_xor_pd(ang, _mm256_and_pd(im, sign)));
}

// Eight frames: their phase steps against the frames before them (frame 0
// against `last`, the frame before as a 32-bit I/Q pair in every lane), into
// phase; their magnitudes; the byte offsets of their raw dots' green. The
// conjugate products and squared magnitudes are exact in 32-bit integers
// (one multiply-add of 16-bit pairs each), the angle is taken in single or
// double precision.
template <bool kDoubleAngle>
LIMIT_AVX2 inline __attribute__((always_inline)) void eight_frames(const int16_t* iq, float* phase,
                                                                   __m256i& last, __m256& mag,
                                                                   __m256i& offset) {
    const __m256i z = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(iq));
    // (I', Q') of the frame before each, then (-Q', I').
    const __m256i before = _mm256_blend_epi32(
        _mm256_permutevar8x32_epi32(z, _mm256_setr_epi32(7, 0, 1, 2, 3, 4, 5, 6)), last, 0x01);
    last = _mm256_permutevar8x32_epi32(z, _mm256_set1_epi32(7));
    const __m256i turned =
        _mm256_sign_epi16(_mm256_shufflehi_epi16(_mm256_shufflelo_epi16(before, 0xB1), 0xB1),
                          _mm256_set1_epi32(0x0001FFFF));
    // z conj(before): I I' + Q Q' and Q I' - I Q'.
    const __m256i re = _mm256_madd_epi16(z, before), im = _mm256_madd_epi16(z, turned);
    if (kDoubleAngle) {
        _mm_storeu_ps(phase, angle4_double(_mm256_cvtepi32_pd(_mm256_castsi256_si128(re)),
                                           _mm256_cvtepi32_pd(_mm256_castsi256_si128(im))));
        _mm_storeu_ps(phase + 4,
                      angle4_double(_mm256_cvtepi32_pd(_mm256_extracti128_si256(re, 1)),
                                    _mm256_cvtepi32_pd(_mm256_extracti128_si256(im, 1))));
    } else {
        _mm256_storeu_ps(phase, angle8_float(_mm256_cvtepi32_ps(re), _mm256_cvtepi32_ps(im)));
    }
    mag = _mm256_sqrt_ps(_mm256_cvtepi32_ps(_mm256_madd_epi16(z, z)));
    // Green of pixel (I / 512 + 64, Q / 512 + 64), the division truncating:
    // 511 added to negatives first.
    const __m256i i32 = _mm256_srai_epi32(_mm256_slli_epi32(z, 16), 16);
    const __m256i q32 = _mm256_srai_epi32(z, 16);
    const __m256i round_in = _mm256_set1_epi32(511);
    const __m256i row = _mm256_srai_epi32(
        _mm256_add_epi32(i32, _mm256_and_si256(_mm256_srai_epi32(i32, 31), round_in)), 9);
    const __m256i col = _mm256_srai_epi32(
        _mm256_add_epi32(q32, _mm256_and_si256(_mm256_srai_epi32(q32, 31), round_in)), 9);
    offset =
        _mm256_add_epi32(_mm256_slli_epi32(_mm256_add_epi32(_mm256_slli_epi32(row, 7), col), 2),
                         _mm256_set1_epi32((64 * 128 + 64) * 4 + 1));
}

// A block, eight frames per step: the phase steps, the magnitudes (single
// precision), the exponential mean frame by frame from the mean before the
// eight (powers of the old weight: one dependent multiply-add per eight
// frames), and with kDots the dots.
template <bool kDots, bool kDoubleAngle>
LIMIT_AVX2 void demodulate_block(const int16_t* iq, float* ring, DiscriminatorState& state,
                                 unsigned char* image) {
    const __m256d a = _mm256_set1_pd(kMeanNew), b = _mm256_set1_pd(kMeanOld);
    const double b2 = kMeanOld * kMeanOld, b4 = b2 * b2;
    const __m256d bb2 = _mm256_set1_pd(b2);
    const __m256d pow_lo = _mm256_setr_pd(kMeanOld, b2, b2 * kMeanOld, b4);
    const __m256d pow_hi = _mm256_mul_pd(pow_lo, _mm256_set1_pd(b4));
    __m256i last = _mm256_set1_epi32(static_cast<int32_t>(state.previous));
    __m256d m = _mm256_set1_pd(state.mean);
    alignas(32) int32_t offset[8];
    for (int k = 0; k < kFrames; k += 8) {
        __m256 mag;
        __m256i o;
        eight_frames<kDoubleAngle>(iq + 2 * k, ring + k, last, mag, o);
        const __m256d x0 = _mm256_cvtps_pd(_mm256_castps256_ps128(mag));
        const __m256d x1 = _mm256_cvtps_pd(_mm256_extractf128_ps(mag, 1));
        // Within four frames: sum of a x_j b^(l - j) over j <= l.
        __m256d p0 = _mm256_mul_pd(a, x0), p1 = _mm256_mul_pd(a, x1);
        p0 = _mm256_fmadd_pd(b, shift_up<1>(p0), p0);
        p1 = _mm256_fmadd_pd(b, shift_up<1>(p1), p1);
        p0 = _mm256_fmadd_pd(bb2, shift_up<2>(p0), p0);
        p1 = _mm256_fmadd_pd(bb2, shift_up<2>(p1), p1);
        p1 = _mm256_fmadd_pd(pow_lo, _mm256_permute4x64_pd(p0, 0xFF), p1);
        const __m256d m0 = _mm256_fmadd_pd(pow_lo, m, p0);
        const __m256d m1 = _mm256_fmadd_pd(pow_hi, m, p1);
        m = _mm256_permute4x64_pd(m1, 0xFF);
        if (kDots) {
            _mm256_store_si256(reinterpret_cast<__m256i*>(offset), o);
            const unsigned above = _mm256_movemask_pd(_mm256_cmp_pd(x0, m0, _CMP_GT_OQ)) |
                                   _mm256_movemask_pd(_mm256_cmp_pd(x1, m1, _CMP_GT_OQ)) << 4;
            // Above the mean green brightens, below red becomes the brightened green.
            for (int l = 0; l < 8; ++l) {
                unsigned char* green = image + offset[l];
                green[(above >> l & 1) ^ 1] = kBright.v[green[0]];
            }
        }
    }
    std::memcpy(&state.previous, iq + 2 * kFrames - 2, sizeof state.previous);
    state.mean = _mm256_cvtsd_f64(m);
}

}  // namespace

bool available() {
#if defined(__x86_64__) || defined(__i386__)
    return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
#else
    return false;
#endif
}

void demodulate(const int16_t* iq, float* ring, DiscriminatorState& state, unsigned char* image,
                Angle angle) {
    const bool dots = image != nullptr, dbl = angle == Angle::kDouble;
    if (dots && dbl)
        demodulate_block<true, true>(iq, ring, state, image);
    else if (dots)
        demodulate_block<true, false>(iq, ring, state, image);
    else if (dbl)
        demodulate_block<false, true>(iq, ring, state, image);
    else
        demodulate_block<false, false>(iq, ring, state, image);
}

LIMIT_AVX2 void resample(const float* ring, const double* kernel, uint32_t& acc, int step,
                         int16_t* out, int frames, uint16_t& read_index) {
    constexpr int kVectors = 31;  // 124 taps, zero past the kernel's end
    const __m256d gain = _mm256_set1_pd(13000.0);
    const __m256d top = _mm256_set1_pd(32767.0), bottom = _mm256_set1_pd(-32767.0);
    const __m128i low16 = _mm_set1_epi32(0xFFFF);
    uint32_t a = acc;
    uint32_t pos = 0;
    for (int f = 0; f < frames; f += 4) {
        __m256d sum[4];
        for (int j = 0; j < 4; ++j, a += static_cast<uint32_t>(step)) {
            pos = a >> 8;
            const float* x = ring + static_cast<uint16_t>(pos);
            const double* h = kernel + (255 - (a & 0xFF)) * kRingMirror;
            __m256d s0 = _mm256_setzero_pd(), s1 = s0;
            for (int t = 0; t + 1 < kVectors; t += 2) {
                s0 = _mm256_fmadd_pd(_mm256_cvtps_pd(_mm_loadu_ps(x + 4 * t)),
                                     _mm256_load_pd(h + 4 * t), s0);
                s1 = _mm256_fmadd_pd(_mm256_cvtps_pd(_mm_loadu_ps(x + 4 * t + 4)),
                                     _mm256_load_pd(h + 4 * t + 4), s1);
            }
            s0 = _mm256_fmadd_pd(_mm256_cvtps_pd(_mm_loadu_ps(x + 4 * (kVectors - 1))),
                                 _mm256_load_pd(h + 4 * (kVectors - 1)), s0);
            sum[j] = _mm256_add_pd(s0, s1);
        }
        // The four frames' sums side by side.
        const __m256d h01 = _mm256_hadd_pd(sum[0], sum[1]), h23 = _mm256_hadd_pd(sum[2], sum[3]);
        const __m256d y = _mm256_add_pd(_mm256_permute2f128_pd(h01, h23, 0x20),
                                        _mm256_permute2f128_pd(h01, h23, 0x31));
        const __m256d c = _mm256_max_pd(_mm256_min_pd(_mm256_mul_pd(gain, y), top), bottom);
        const __m128i v = _mm256_cvttpd_epi32(c);
        const __m128i lr = _mm_or_si128(_mm_and_si128(v, low16), _mm_slli_epi32(v, 16));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 2 * f), lr);
    }
    acc = a;
    read_index = static_cast<uint16_t>(pos);
}

LIMIT_AVX2 void fade(unsigned char* image) {
    const __m256i three = _mm256_set1_epi8(3);
    for (int k = 0; k < kImageBytes; k += 32) {
        __m256i* p = reinterpret_cast<__m256i*>(image + k);
        _mm256_storeu_si256(p, _mm256_subs_epu8(_mm256_loadu_si256(p), three));
    }
}

struct Spectrum::Impl {
    explicit Impl(double offset)
        : in(fftwf_alloc_complex(kFrames)),
          out(fftwf_alloc_complex(kFrames)),
          plan(fftwf_plan_dft_1d(kFrames, in, out, FFTW_FORWARD, FFTW_MEASURE)),
          window(aligned_array<float>(2 * kFrames)),
          power(aligned_array<float>(kFrames + 8)),
          offset_db(static_cast<float>(offset)) {
        for (int n = 0; n < kFrames; ++n)
            window[2 * n] = window[2 * n + 1] =
                static_cast<float>(radio_dsp::blackman_window(n, kFrames));
        // Column c takes the powers k with floor(k 541 / 4096) == c.
        int c = 0;
        for (int k = 0; k < kFrames; ++k)
            if (k * kSpectrumColumns / kFrames == c) start[c++] = k;
        for (c = 0; c < kSpectrumColumns; ++c)
            count[c] = (c + 1 < kSpectrumColumns ? start[c + 1] : kFrames) - start[c];
    }
    ~Impl() {
        fftwf_destroy_plan(plan);
        fftwf_free(out);
        fftwf_free(in);
    }
    LIMIT_AVX2 void compute(const int16_t* iq, double* lo_db, double* hi_db);

    fftwf_complex* in;
    fftwf_complex* out;
    fftwf_plan plan;
    std::unique_ptr<float[], AlignedFree<float>> window;  // per I and per Q
    std::unique_ptr<float[], AlignedFree<float>> power;   // zero frequency in the middle
    float offset_db;
    int start[kSpectrumColumns];
    int count[kSpectrumColumns];
    alignas(32) float lo[kSpectrumColumns + 3] = {};
    alignas(32) float hi[kSpectrumColumns + 3] = {};
};

namespace {

// 10 log10(x) - offset for eight positive normal x: x = 2^e m with m in
// [sqrt(1/2), sqrt(2)), ln m = 2 atanh(s), s = (m - 1) / (m + 1), to s^9.
LIMIT_AVX2 inline __m256 db8(__m256 x, __m256 offset) {
    const __m256i bits = _mm256_castps_si256(x);
    __m256 m = _mm256_castsi256_ps(_mm256_or_si256(
        _mm256_and_si256(bits, _mm256_set1_epi32(0x7FFFFF)), _mm256_set1_epi32(0x3F800000)));
    __m256 e =
        _mm256_cvtepi32_ps(_mm256_sub_epi32(_mm256_srli_epi32(bits, 23), _mm256_set1_epi32(127)));
    const __m256 high = _mm256_cmp_ps(m, _mm256_set1_ps(1.41421356f), _CMP_GE_OQ);
    m = _mm256_blendv_ps(m, _mm256_mul_ps(m, _mm256_set1_ps(0.5f)), high);
    e = _mm256_add_ps(e, _mm256_and_ps(high, _mm256_set1_ps(1.0f)));
    const __m256 one = _mm256_set1_ps(1.0f);
    const __m256 s = _mm256_div_ps(_mm256_sub_ps(m, one), _mm256_add_ps(m, one));
    const __m256 s2 = _mm256_mul_ps(s, s);
    __m256 p = _mm256_fmadd_ps(s2, _mm256_set1_ps(1.0f / 9), _mm256_set1_ps(1.0f / 7));
    p = _mm256_fmadd_ps(s2, p, _mm256_set1_ps(1.0f / 5));
    p = _mm256_fmadd_ps(s2, p, _mm256_set1_ps(1.0f / 3));
    p = _mm256_fmadd_ps(s2, p, one);
    const __m256 ln =
        _mm256_fmadd_ps(e, _mm256_set1_ps(0.693147181f), _mm256_mul_ps(_mm256_add_ps(s, s), p));
    return _mm256_fmsub_ps(ln, _mm256_set1_ps(4.34294482f), offset);
}

}  // namespace

LIMIT_AVX2 void Spectrum::Impl::compute(const int16_t* iq, double* lo_db, double* hi_db) {
    // Window: eight frames (sixteen values) per step.
    float* x = reinterpret_cast<float*>(in);
    for (int k = 0; k < 2 * kFrames; k += 16) {
        const __m256i raw = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(iq + k));
        const __m256 a = _mm256_cvtepi32_ps(_mm256_cvtepi16_epi32(_mm256_castsi256_si128(raw)));
        const __m256 b =
            _mm256_cvtepi32_ps(_mm256_cvtepi16_epi32(_mm256_extracti128_si256(raw, 1)));
        _mm256_storeu_ps(x + k, _mm256_mul_ps(a, _mm256_load_ps(window.get() + k)));
        _mm256_storeu_ps(x + k + 8, _mm256_mul_ps(b, _mm256_load_ps(window.get() + k + 8)));
    }
    fftwf_execute(plan);
    // |X|^2, the upper half of the bins first.
    const float* y = reinterpret_cast<const float*>(out);
    float* p = power.get();
    for (int bin = 0; bin < kFrames; bin += 8) {
        const __m256 a = _mm256_loadu_ps(y + 2 * bin), b = _mm256_loadu_ps(y + 2 * bin + 8);
        const __m256 h = _mm256_hadd_ps(_mm256_mul_ps(a, a), _mm256_mul_ps(b, b));
        const __m256 ordered = _mm256_castpd_ps(_mm256_permute4x64_pd(_mm256_castps_pd(h), 0xD8));
        _mm256_store_ps(p + ((bin + kFrames / 2) & (kFrames - 1)), ordered);
    }
    // Each column's extremes: its 7 or 8 powers, lanes past its end
    // repeating its first.
    const __m256i lane = _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7);
    for (int c = 0; c < kSpectrumColumns; ++c) {
        const float* v = p + start[c];
        const __m256 keep =
            _mm256_castsi256_ps(_mm256_cmpgt_epi32(_mm256_set1_epi32(count[c]), lane));
        const __m256 w = _mm256_blendv_ps(_mm256_set1_ps(v[0]), _mm256_loadu_ps(v), keep);
        const __m128 w_lo = _mm256_castps256_ps128(w), w_hi = _mm256_extractf128_ps(w, 1);
        __m128 mn = _mm_min_ps(w_lo, w_hi), mx = _mm_max_ps(w_lo, w_hi);
        mn = _mm_min_ps(mn, _mm_movehl_ps(mn, mn));
        mx = _mm_max_ps(mx, _mm_movehl_ps(mx, mx));
        mn = _mm_min_ss(mn, _mm_shuffle_ps(mn, mn, 1));
        mx = _mm_max_ss(mx, _mm_shuffle_ps(mx, mx, 1));
        lo[c] = _mm_cvtss_f32(mn);
        hi[c] = _mm_cvtss_f32(mx);
    }
    // The dB of the extremes only (the logarithm keeps the order).
    const __m256 offset = _mm256_set1_ps(offset_db);
    for (int c = 0; c < kSpectrumColumns; c += 4) {
        const __m256 both = _mm256_insertf128_ps(_mm256_castps128_ps256(_mm_load_ps(lo + c)),
                                                 _mm_load_ps(hi + c), 1);
        const __m256 db = db8(both, offset);
        const __m256d l = _mm256_cvtps_pd(_mm256_castps256_ps128(db));
        const __m256d h = _mm256_cvtps_pd(_mm256_extractf128_ps(db, 1));
        if (c + 4 <= kSpectrumColumns) {
            _mm256_storeu_pd(lo_db + c, l);
            _mm256_storeu_pd(hi_db + c, h);
        } else {
            alignas(32) double tl[4], th[4];
            _mm256_store_pd(tl, l);
            _mm256_store_pd(th, h);
            for (int i = 0; c + i < kSpectrumColumns; ++i)
                lo_db[c + i] = tl[i], hi_db[c + i] = th[i];
        }
    }
}

Spectrum::Spectrum(double offset_db) : impl_(new Impl(offset_db)) {}
Spectrum::~Spectrum() = default;
void Spectrum::compute(const int16_t* iq, double* lo_db, double* hi_db) {
    impl_->compute(iq, lo_db, hi_db);
}

}  // namespace simd_limit
