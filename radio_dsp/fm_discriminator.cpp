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

// Pixel index (row 128 + column) of a raw frame's dot: row I / 512 + 64,
// column Q / 512 + 64, the divisions truncating.
QV_INLINE int raw_dot_pixel(int i, int q) {
    return (i / 512 + 64) * ConstellationImage::kSize + q / 512 + 64;
}

// Exponential mean magnitude, frame by frame (a chain of dependent steps, so
// it is the same number however the block is split), and with an image the
// raw frames' dots, which compare each magnitude with the mean.
class MeanAndDots {
  public:
    MeanAndDots(double mean, ConstellationImage* image)
        : m_(mean),
          green_(image ? image->data() + 1 : nullptr),
          bpp_(image ? image->bytes_per_pixel() : 0),
          // Below the mean the 32-bit layout writes red, the 24-bit one green.
          red_below_(image && image->layout() == ImageLayout::kRgb32Set) {}

    bool draws() const { return green_ != nullptr; }
    int bytes_per_pixel() const { return bpp_; }
    double mean() const { return m_; }

    // A frame of magnitude mag (a float's value), share = 0.0001 mag, whose
    // dot's green is `green` bytes into the image (raw_dot_pixel times the
    // bytes per pixel).
    QV_INLINE void step(double mag, double share, int green) {
        m_ = share + 0.9999 * m_;
        if (green_ == nullptr) return;
        unsigned char* g = green_ + green;
        // Above the mean green brightens, below red (the byte after green)
        // becomes the brightened green: an index, not a branch, as above or
        // below is data, not a pattern.
        g[red_below_ & !(mag > m_)] = static_cast<unsigned char>((g[0] + 255) >> 1);
    }

  private:
    double m_;
    unsigned char* green_;
    int bpp_;
    bool red_below_;
};

// Baseline form of one block. Phase steps: frame k against frame k - 1
// (frame -1 being the stored previous sample); the conjugate product of
// integer-valued floats is exact in double, so only the arctangent rounds.
// Then the magnitudes' mean and dots. Returns whether the block needs the
// in-order pass (it has zero frames, after which the phases are only right up
// to the first of them).
bool block_pass(const int16_t* iq, float prev_re, float prev_im, float* phase, float* mag,
                double& mean_magnitude, ConstellationImage* image) {
    // A local, so the mean stays in a register while the dots store bytes.
    MeanAndDots mean(mean_magnitude, image);
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
    const int bpp = mean.bytes_per_pixel();
    for (int k = 0; k < kBlockFrames; ++k)
        mean.step(mag[k], 0.0001 * mag[k], raw_dot_pixel(iq[2 * k], iq[2 * k + 1]) * bpp);
    mean_magnitude = mean.mean();
    return zeros != 0;
}

#if QV_HAVE_AVX2_PATH
// phase_angle of four conjugate products, the same operations lane by lane
// (the polynomial by fused multiply-adds), rounded to float.
QV_TARGET_AVX2 QV_INLINE __m128 phase_angle_avx2(__m256d re, __m256d im) {
    const __m256d sign = _mm256_set1_pd(-0.0), zero = _mm256_setzero_pd();
    const __m256d quarter_pi = _mm256_set1_pd(kPi / 4);
    const __m256d half_pi = _mm256_add_pd(quarter_pi, quarter_pi);
    const __m256d pi = _mm256_add_pd(half_pi, half_pi);
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
    __m256d a = _mm256_add_pd(_mm256_mul_pd(u, p), _mm256_and_pd(reduce, quarter_pi));
    a = _mm256_blendv_pd(a, _mm256_sub_pd(half_pi, a), _mm256_cmp_pd(ay, ax, _CMP_GT_OQ));
    a = _mm256_blendv_pd(a, _mm256_sub_pd(pi, a), _mm256_cmp_pd(re, zero, _CMP_LT_OQ));
    // im < 0 negates (im is a whole number, never -0).
    return _mm256_cvtpd_ps(_mm256_xor_pd(a, _mm256_and_pd(im, sign)));
}

// |z| of four squared magnitudes (exact 32-bit integers read as unsigned:
// two -32768s give 2^31), square root in double rounded to float, as the
// mean takes it.
QV_TARGET_AVX2 QV_INLINE __m256d magnitude_avx2(__m128i m2) {
    const __m256d d = _mm256_andnot_pd(_mm256_set1_pd(-0.0), _mm256_cvtepi32_pd(m2));
    return _mm256_cvtps_pd(_mm256_cvtpd_ps(_mm256_sqrt_pd(d)));
}

// AVX2 form of block_pass, eight frames per step, each frame a 32-bit lane
// (I low, Q high). The conjugate products and squared magnitudes are exact
// 16-bit multiply-adds, widened to double for the arctangent and the square
// root. The mean's chain and the dots run eight frames behind, beside the
// vector work.
QV_TARGET_AVX2
bool block_pass_avx2(const int16_t* iq, float prev_re, float prev_im, float* phase,
                     double& mean_magnitude, ConstellationImage* image) {
    MeanAndDots mean(mean_magnitude, image);
    const __m256i bpp = _mm256_set1_epi32(mean.bytes_per_pixel());
    const __m256d new_weight = _mm256_set1_pd(0.0001);
    const __m256i minus_32768 = _mm256_set1_epi32(-32768);
    // The frame before the current eight, in every lane.
    const uint32_t prev_i = static_cast<uint16_t>(static_cast<int>(prev_re));
    const uint32_t prev_q = static_cast<uint16_t>(static_cast<int>(prev_im));
    __m256i last = _mm256_set1_epi32(static_cast<int32_t>(prev_i | prev_q << 16));
    __m256i special = _mm256_setzero_si256();  // zero frames, a product of 2^31
    // This step's frames and the step's before: magnitude, its share of the
    // mean, the dot's green.
    alignas(32) double mag[2][8], share[2][8];
    alignas(32) int32_t green[2][8];
    for (int k = 0; k < kBlockFrames; k += 8) {
        const __m256i z = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(iq + 2 * k));
        // (I', Q') of the frame before each, then (-Q', I').
        const __m256i before = _mm256_blend_epi32(
            _mm256_permutevar8x32_epi32(z, _mm256_setr_epi32(7, 0, 1, 2, 3, 4, 5, 6)), last, 1);
        last = _mm256_permutevar8x32_epi32(z, _mm256_set1_epi32(7));
        const __m256i turned =
            _mm256_sign_epi16(_mm256_shufflehi_epi16(_mm256_shufflelo_epi16(before, 0xB1), 0xB1),
                              _mm256_set1_epi32(0x0001FFFF));
        // z conj(before): re = I I' + Q Q', im = Q I' - I Q'. Negating Q' =
        // -32768 wraps to -32768, which takes 2 I 32768 = I << 16 off im; put
        // back. re wraps only for two frames of two -32768s (2^31): special.
        const __m256i re = _mm256_madd_epi16(z, before);
        const __m256i im = _mm256_add_epi32(
            _mm256_madd_epi16(z, turned),
            _mm256_and_si256(_mm256_cmpeq_epi32(_mm256_srai_epi32(before, 16), minus_32768),
                             _mm256_slli_epi32(z, 16)));
        special = _mm256_or_si256(special, _mm256_cmpeq_epi32(z, _mm256_setzero_si256()));
        special =
            _mm256_or_si256(special, _mm256_cmpeq_epi32(re, _mm256_slli_epi32(minus_32768, 16)));
        _mm_storeu_ps(phase + k, phase_angle_avx2(_mm256_cvtepi32_pd(_mm256_castsi256_si128(re)),
                                                  _mm256_cvtepi32_pd(_mm256_castsi256_si128(im))));
        _mm_storeu_ps(phase + k + 4,
                      phase_angle_avx2(_mm256_cvtepi32_pd(_mm256_extracti128_si256(re, 1)),
                                       _mm256_cvtepi32_pd(_mm256_extracti128_si256(im, 1))));
        const int now = (k >> 3) & 1;
        const __m256i m2 = _mm256_madd_epi16(z, z);
        const __m256d mag_lo = magnitude_avx2(_mm256_castsi256_si128(m2));
        const __m256d mag_hi = magnitude_avx2(_mm256_extracti128_si256(m2, 1));
        _mm256_store_pd(mag[now], mag_lo);
        _mm256_store_pd(mag[now] + 4, mag_hi);
        _mm256_store_pd(share[now], _mm256_mul_pd(new_weight, mag_lo));
        _mm256_store_pd(share[now] + 4, _mm256_mul_pd(new_weight, mag_hi));
        if (mean.draws()) {
            // raw_dot_pixel, I and Q side by side in 16-bit lanes: 511 added
            // to negatives makes the shift truncate; then row 128 + column.
            const __m256i row_col = _mm256_srai_epi16(
                _mm256_add_epi16(
                    z, _mm256_and_si256(_mm256_srai_epi16(z, 15), _mm256_set1_epi16(511))),
                9);
            const __m256i pixel =
                _mm256_add_epi32(_mm256_madd_epi16(row_col, _mm256_set1_epi32(128 | 1 << 16)),
                                 _mm256_set1_epi32(64 * 128 + 64));
            _mm256_store_si256(reinterpret_cast<__m256i*>(green[now]),
                               _mm256_mullo_epi32(pixel, bpp));
        }
        // The mean's chain and the dots for the eight frames before these.
        if (k > 0)
            for (int l = 0; l < 8; ++l)
                mean.step(mag[now ^ 1][l], share[now ^ 1][l], green[now ^ 1][l]);
    }
    const int final_step = ((kBlockFrames >> 3) & 1) ^ 1;
    for (int l = 0; l < 8; ++l)
        mean.step(mag[final_step][l], share[final_step][l], green[final_step][l]);
    mean_magnitude = mean.mean();
    return !_mm256_testz_si256(special, special);
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
    // The phase steps go straight into the ring unless the block wraps.
    float* in_ring = ring.next_block(kBlockFrames);
    float* phase = in_ring != nullptr ? in_ring : phase_.get();
    const std::complex<float> first_previous = previous;
    ConstellationImage* raw_image = delta ? nullptr : image;
    bool in_order;
#if QV_HAVE_AVX2_PATH
    if (simd_path() == SimdPath::kAvx2)
        in_order =
            block_pass_avx2(iq, previous.real(), previous.imag(), phase, mean_magnitude, raw_image);
    else
#endif
        in_order = block_pass(iq, previous.real(), previous.imag(), phase, magnitude_.get(),
                              mean_magnitude, raw_image);
    if (in_order) {
        // Rare: a zero frame repeats the entry before it and keeps the previous
        // sample, so later steps refer back further than one frame; and two
        // frames of two -32768s in a row have a product the vector form cannot
        // hold. Redo in order.
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
    if (spectrum_input != nullptr)
        for (int k = 0; k < kBlockFrames; ++k)
            spectrum_input[k] = std::complex<double>(iq[2 * k], iq[2 * k + 1]);
    if (in_ring != nullptr)
        ring.commit_block(kBlockFrames);
    else
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
