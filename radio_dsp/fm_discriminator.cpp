#include "fm_discriminator.h"

#include <cmath>

#include "simd.h"

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
    const T s = u * u;
    T p = T{} + kAtan[7];
    for (int i = 6; i >= 0; --i) p = p * s + kAtan[i];
    return u * p;
}

// Vector form of phase_angle, same operations lane by lane.
QV_INLINE v4d phase_angle_v(v4d im, v4d re) {
    const v4d zero = {0, 0, 0, 0}, one = {1, 1, 1, 1};
    const v4d ax = re < zero ? -re : re;
    const v4d ay = im < zero ? -im : im;
    const v4d mx = ax > ay ? ax : ay;
    const v4d mn = ax > ay ? ay : ax;
    const v4d t = mn / (mx > zero ? mx : one);
    const v4d big = {kTanPi8, kTanPi8, kTanPi8, kTanPi8};
    const v4l reduce = t > big;
    const v4d u = reduce ? (t - one) / (t + one) : t;
    const v4d q = {kPi / 4, kPi / 4, kPi / 4, kPi / 4};
    v4d a = atan_poly(u) + (reduce ? q : zero);
    const v4d half_pi = q + q, pi = half_pi + half_pi;
    a = ay > ax ? half_pi - a : a;
    a = re < zero ? pi - a : a;
    return im < zero ? -a : a;
}

// Phase steps of a block: frame k against frame k - 1 (frame -1 being the
// stored previous sample), and each frame's magnitude in single precision.
// The conjugate product of integer-valued floats is exact in double, so only
// the arctangent rounds. Returns the number of zero frames; when it is not 0
// the phases are only right up to the first of them.
QV_SIMD_CLONES
int block_phases(const int16_t* iq, float prev_re, float prev_im, float* phase, float* mag) {
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
    return zeros;
}

}  // namespace

double phase_angle(double im, double re) {
    const double ax = std::fabs(re), ay = std::fabs(im);
    const double mx = ax > ay ? ax : ay;
    const double mn = ax > ay ? ay : ax;
    const double t = mn / (mx > 0 ? mx : 1.0);
    const bool reduce = t > kTanPi8;
    const double u = reduce ? (t - 1.0) / (t + 1.0) : t;
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
    float* mag = magnitude_.get();
    const std::complex<float> first_previous = previous;
    if (block_phases(iq, previous.real(), previous.imag(), phase, mag) != 0) {
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

    if (spectrum_input != nullptr)
        for (int k = 0; k < kBlockFrames; ++k)
            spectrum_input[k] = std::complex<double>(iq[2 * k], iq[2 * k + 1]);

    // The exponential mean is a chain of dependent steps; kept in frame order
    // so it is the same number however the block is split.
    double mean = mean_magnitude;
    if (image != nullptr && !delta) {
        for (int k = 0; k < kBlockFrames; ++k) {
            mean = 0.0001 * mag[k] + 0.9999 * mean;
            image->plot_raw(iq[2 * k], iq[2 * k + 1], mag[k] > mean);
        }
    } else {
        for (int k = 0; k < kBlockFrames; ++k) mean = 0.0001 * mag[k] + 0.9999 * mean;
    }
    mean_magnitude = mean;

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
