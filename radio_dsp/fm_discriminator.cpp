#include "fm_discriminator.h"

#include <cmath>

#include "simd.h"

#if QV_HAVE_AVX2_PATH
#include <immintrin.h>
#endif

namespace radio_dsp {

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kTanPi8 = 0.41421356237309504880;

// atan(u) = u P(u^2) for 0 <= u <= tan(pi/8); least-squares fit, |error| < 4e-13.
constexpr double kAtan[8] = {0.99999999999937161,  -0.333333332788254,  0.19999993216370196,
                             -0.14285392015483267, 0.11103545595861634, -0.089932980715365707,
                             0.069773164911016566, -0.03770653417056772};

template <class T>
QV_INLINE T atan_poly(T u) {
    // In pairs (Estrin): half the dependent steps of Horner's rule.
    const T s = u * u, s2 = s * s, s4 = s2 * s2;
    const T p01 = kAtan[0] + kAtan[1] * s, p23 = kAtan[2] + kAtan[3] * s;
    const T p45 = kAtan[4] + kAtan[5] * s, p67 = kAtan[6] + kAtan[7] * s;
    return u * ((p01 + p23 * s2) + (p45 + p67 * s2) * s4);
}

// Vector form of phase_angle, same operations lane by lane.
QV_INLINE v4d phase_angle_v(v4d im, v4d re) {
    const v4d zero = {0, 0, 0, 0};
    const v4d ax = re < zero ? -re : re;
    const v4d ay = im < zero ? -im : im;
    const v4d mx = ax > ay ? ax : ay;
    const v4d mn = ax > ay ? ay : ax;
    const v4d tan_pi8 = zero + kTanPi8;
    const v4l reduce = mn > mx * tan_pi8;
    const v4d u = (reduce ? mn - mx : mn) / (reduce ? mn + mx : mx);
    const v4d q = zero + kPi / 4;
    v4d a = atan_poly(u) + (reduce ? q : zero);
    const v4d half_pi = q + q, pi = half_pi + half_pi;
    a = ay > ax ? half_pi - a : a;
    a = re < zero ? pi - a : a;
    return im < zero ? -a : a;
}

// Exponential mean magnitude, frame by frame (a chain of dependent steps, so
// it is the same number however the block is split), and with an image the
// raw frames' dots, which compare each magnitude with the mean. The pixel's
// green and red are read and written as one 16-bit word whose address does
// not wait for the mean, only the value does.
class MeanAndDots {
  public:
    MeanAndDots(const int16_t* iq, const float* mag, double mean, ConstellationImage* image)
        : iq_(iq),
          mag_(mag),
          m_(mean),
          d_(image ? image->data() : nullptr),
          bpp_(image ? image->bytes_per_pixel() : 0),
          // Below the mean the 32-bit layout writes red, the 24-bit one green.
          below_to_red_(image && image->layout() == ImageLayout::kRgb32Set) {}

    QV_INLINE void step(int k) {
        m_ = 0.0001 * mag_[k] + 0.9999 * m_;
        if (d_ == nullptr) return;
        const bool above = mag_[k] > m_;
        const int r = iq_[2 * k] / 512 + 64, c = iq_[2 * k + 1] / 512 + 64;
        unsigned char* gr = d_ + (r * ConstellationImage::kSize + c) * bpp_ + 1;  // green, red
        const unsigned g = gr[0], red = gr[1];
        const unsigned b = ConstellationImage::brighten(static_cast<unsigned char>(g));
        // Masks, not a branch: above or below the mean is data, not a pattern.
        const unsigned to_red = 0u - static_cast<unsigned>(below_to_red_ & !above);
        const unsigned w = ((g | b << 8) & to_red) | ((b | red << 8) & ~to_red);
        gr[0] = static_cast<unsigned char>(w);
        gr[1] = static_cast<unsigned char>(w >> 8);
    }
    double mean() const { return m_; }

  private:
    const int16_t* iq_;
    const float* mag_;
    double m_;
    unsigned char* d_;
    int bpp_;
    bool below_to_red_;
};

// Baseline form of one block. Phase steps: frame k against frame k - 1
// (frame -1 being the stored previous sample); the conjugate product of
// integer-valued floats is exact in double, so only the arctangent rounds.
// Then the magnitudes' mean and flags, and the spectrum input. Returns the
// number of zero frames; when it is not 0 the phases are only right up to the
// first of them.
int block_pass(const int16_t* iq, float prev_re, float prev_im, float* phase, float* mag,
               MeanAndDots& mean, std::complex<double>* spectrum_input) {
    int zeros = 0;
    for (int k = 0; k < kBlockFrames; k += 4) {
        v4d zi, zq, pi4, pq4;
        for (int l = 0; l < 4; ++l) {
            zi[l] = iq[2 * (k + l)];
            zq[l] = iq[2 * (k + l) + 1];
            pi4[l] = k + l == 0 ? prev_re : iq[2 * (k + l) - 2];
            pq4[l] = k + l == 0 ? prev_im : iq[2 * (k + l) - 1];
            zeros += (iq[2 * (k + l)] | iq[2 * (k + l) + 1]) == 0;
        }
        const v4d a = phase_angle_v(zq * pi4 - zi * pq4, zi * pi4 + zq * pq4);
        const v4d m2 = zi * zi + zq * zq;
        for (int l = 0; l < 4; ++l) {
            phase[k + l] = static_cast<float>(a[l]);
            mag[k + l] = static_cast<float>(std::sqrt(m2[l]));
        }
    }
    for (int k = 0; k < kBlockFrames; ++k) mean.step(k);
    if (spectrum_input != nullptr)
        for (int k = 0; k < kBlockFrames; ++k)
            spectrum_input[k] = std::complex<double>(iq[2 * k], iq[2 * k + 1]);
    return zeros;
}

#if QV_HAVE_AVX2_PATH
// AVX2 form of block_pass, four frames per step: the frames widened to
// doubles in registers, the previous frames by a lane rotation, the square
// roots four at a time. The mean's chain runs beside the vector work.
QV_TARGET_AVX2
int block_pass_avx2(const int16_t* iq, float prev_re, float prev_im, float* phase, float* mag,
                    MeanAndDots& mean, std::complex<double>* spectrum_input) {
    const __m256i deinterleave = _mm256_setr_epi32(0, 2, 4, 6, 1, 3, 5, 7);
    const __m256d sign = _mm256_set1_pd(-0.0), zero = _mm256_setzero_pd();
    const __m256d tan_pi8 = _mm256_set1_pd(kTanPi8), quarter_pi = _mm256_set1_pd(kPi / 4);
    const __m256d half_pi = _mm256_add_pd(quarter_pi, quarter_pi);
    const __m256d pi = _mm256_add_pd(half_pi, half_pi);
    // Lane 0 of last_i / last_q: the frame before the current four.
    __m256d last_i = _mm256_set1_pd(prev_re), last_q = _mm256_set1_pd(prev_im);
    int zeros = 0;
    for (int k = 0; k < kBlockFrames; k += 4) {
        const __m128i raw = _mm_loadu_si128(reinterpret_cast<const __m128i*>(iq + 2 * k));
        zeros += __builtin_popcount(
            _mm_movemask_ps(_mm_castsi128_ps(_mm_cmpeq_epi32(raw, _mm_setzero_si128()))));
        const __m256i iq32 = _mm256_permutevar8x32_epi32(_mm256_cvtepi16_epi32(raw), deinterleave);
        const __m256d zi = _mm256_cvtepi32_pd(_mm256_castsi256_si128(iq32));
        const __m256d zq = _mm256_cvtepi32_pd(_mm256_extracti128_si256(iq32, 1));
        // (3, 0, 1, 2): each lane gets the frame before it, lane 0 the last one.
        const __m256d rot_i = _mm256_permute4x64_pd(zi, 0x93);
        const __m256d rot_q = _mm256_permute4x64_pd(zq, 0x93);
        const __m256d pi4 = _mm256_blend_pd(rot_i, last_i, 1);
        const __m256d pq4 = _mm256_blend_pd(rot_q, last_q, 1);
        last_i = rot_i;
        last_q = rot_q;

        const __m256d re = _mm256_fmadd_pd(zi, pi4, _mm256_mul_pd(zq, pq4));
        const __m256d im = _mm256_fmsub_pd(zq, pi4, _mm256_mul_pd(zi, pq4));
        const __m256d ax = _mm256_andnot_pd(sign, re), ay = _mm256_andnot_pd(sign, im);
        const __m256d mx = _mm256_max_pd(ax, ay), mn = _mm256_min_pd(ax, ay);
        const __m256d reduce = _mm256_cmp_pd(mn, _mm256_mul_pd(mx, tan_pi8), _CMP_GT_OQ);
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
        __m256d a = _mm256_add_pd(_mm256_mul_pd(u, p), _mm256_and_pd(reduce, quarter_pi));
        a = _mm256_blendv_pd(a, _mm256_sub_pd(half_pi, a), _mm256_cmp_pd(ay, ax, _CMP_GT_OQ));
        a = _mm256_blendv_pd(a, _mm256_sub_pd(pi, a), _mm256_cmp_pd(re, zero, _CMP_LT_OQ));
        a = _mm256_blendv_pd(a, _mm256_xor_pd(a, sign), _mm256_cmp_pd(im, zero, _CMP_LT_OQ));
        _mm_storeu_ps(phase + k, _mm256_cvtpd_ps(a));

        // |z| rounded to float, as the mean takes it.
        _mm_storeu_ps(mag + k, _mm256_cvtpd_ps(
                                   _mm256_sqrt_pd(_mm256_fmadd_pd(zi, zi, _mm256_mul_pd(zq, zq)))));

        // The mean's chain and the dots for the four frames before these, so
        // the chain runs beside the vector work instead of after it.
        if (k > 0)
            for (int l = k - 4; l < k; ++l) mean.step(l);

        if (spectrum_input != nullptr) {
            const __m256d lo = _mm256_unpacklo_pd(zi, zq), hi = _mm256_unpackhi_pd(zi, zq);
            double* out = reinterpret_cast<double*>(spectrum_input + k);
            _mm256_storeu_pd(out, _mm256_permute2f128_pd(lo, hi, 0x20));
            _mm256_storeu_pd(out + 4, _mm256_permute2f128_pd(lo, hi, 0x31));
        }
    }
    for (int l = kBlockFrames - 4; l < kBlockFrames; ++l) mean.step(l);
    return zeros;
}
#endif

}  // namespace

double phase_angle(double im, double re) {
    const double ax = std::fabs(re), ay = std::fabs(im);
    const double mx = ax > ay ? ax : ay;
    const double mn = ax > ay ? ay : ax;
    const bool reduce = mn > mx * kTanPi8;
    const double u = (reduce ? mn - mx : mn) / (reduce ? mn + mx : mx);
    double a = atan_poly(u) + (reduce ? kPi / 4 : 0.0);
    const double half_pi = kPi / 4 + kPi / 4, pi = half_pi + half_pi;
    a = ay > ax ? half_pi - a : a;
    a = re < 0 ? pi - a : a;
    return im < 0 ? -a : a;
}

FmDiscriminator::FmDiscriminator()
    : phase_(new float[kBlockFrames]()), magnitude_(new float[kBlockFrames]()) {}

void FmDiscriminator::demodulate_block(const int16_t* iq, DemodRing& ring,
                                       ConstellationImage* image, bool delta,
                                       std::complex<double>* spectrum_input) {
    float* phase = phase_.get();
    const std::complex<float> first_previous = previous;
    MeanAndDots mean(iq, magnitude_.get(), mean_magnitude, delta ? nullptr : image);
    int zeros;
#if QV_HAVE_AVX2_PATH
    if (simd_path() == SimdPath::kAvx2)
        zeros = block_pass_avx2(iq, previous.real(), previous.imag(), phase, magnitude_.get(), mean,
                                spectrum_input);
    else
#endif
        zeros = block_pass(iq, previous.real(), previous.imag(), phase, magnitude_.get(), mean,
                           spectrum_input);
    mean_magnitude = mean.mean();
    if (zeros != 0) {
        // Rare: a zero frame repeats the entry before it and keeps the previous
        // sample, so later steps refer back further than one frame. Redo in order.
        std::complex<float> p = previous;
        for (int k = 0; k < kBlockFrames; ++k) {
            const int i = iq[2 * k], q = iq[2 * k + 1];
            if (i == 0 && q == 0) {
                phase[k] =
                    k > 0 ? phase[k - 1] : ring.at(static_cast<uint16_t>(ring.write_index - 1));
                continue;
            }
            const double pr = p.real(), pim = p.imag();
            phase[k] = static_cast<float>(phase_angle(q * pr - i * pim, i * pr + q * pim));
            p = std::complex<float>(static_cast<float>(i), static_cast<float>(q));
        }
    }
    ring.push_block(phase, kBlockFrames);
    for (int k = kBlockFrames - 1; k >= 0; --k)
        if ((iq[2 * k] | iq[2 * k + 1]) != 0) {
            previous = std::complex<float>(iq[2 * k], iq[2 * k + 1]);
            break;
        }

    if (image != nullptr && delta) {
        std::complex<float> p = first_previous;
        for (int k = 0; k < kBlockFrames; ++k) {
            if ((iq[2 * k] | iq[2 * k + 1]) == 0) continue;
            const std::complex<float> z(iq[2 * k], iq[2 * k + 1]);
            const std::complex<float> r = z / p;
            image->plot_rotation(r.real(), r.imag());
            p = z;
        }
    }
}

}  // namespace radio_dsp
