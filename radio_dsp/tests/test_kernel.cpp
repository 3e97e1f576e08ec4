// The kernel and window tables: built as the design scripts build them, and
// checked from the tables themselves.
#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <utility>

#include "resampler_kernel.h"

namespace radio_dsp {
namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kInputRate = 66e6 / 324;  // 203.7 kHz

// Per-phase amplitude response (dB) of the kernel at f for the given input rate.
double kernel_response_db(double f, double input_rate = kInputRate) {
    std::complex<double> s = 0;
    const double w = -2 * kPi * f / (kResamplerPhases * input_rate);
    const std::complex<double> turn = std::polar(1.0, w);
    std::complex<double> e;
    const double* kernel = resampler_kernel();
    for (int n = 0; n < kResamplerKernelLength; ++n) {
        // Rotate by one grid step; restart from the exact value every 256 steps.
        e = n % 256 == 0 ? std::polar(1.0, w * (n - kResamplerKernelCentre)) : e * turn;
        s += kernel[n] * e;
    }
    return 20 * std::log10(std::abs(s) / kResamplerPhases);
}

double deemphasis_db(double f) {
    const double x = 2 * kPi * f * 75e-6;
    return -10 * std::log10(1 + x * x);
}

// FNV-1a (64 bit) of the doubles' bytes, as the design script prints it.
uint64_t fnv1a64(const double* v, int n) {
    uint64_t h = 0xcbf29ce484222325u;
    for (int i = 0; i < n; ++i) {
        unsigned char b[sizeof(double)];
        std::memcpy(b, &v[i], sizeof b);
        for (unsigned char c : b) h = (h ^ c) * 0x100000001b3u;
    }
    return h;
}

// The figures `tools/design_resampler_kernel.py --digest` and
// `tools/design_blackman_window.py` print. The kernel must have the script's
// bits (the audio depends on them); the window goes through the C library's
// cos, whose variants may differ in the last bit.
TEST(ResamplerKernel, BuiltAsTheDesignScriptsBuildThem) {
    const double* k = resampler_kernel();
    EXPECT_EQ(fnv1a64(k, kResamplerKernelLength), 0x9bbd3954c0e03145u);
    const std::pair<int, double> kernel_entries[] = {{0, 9.420616068262303e-12},
                                                     {1000, 0.00029762404147998516},
                                                     {7807, 0.0028366791651078657},
                                                     {15000, 0.0503296076982679},
                                                     {15614, 0.057357528036849063}};
    for (const auto& [n, v] : kernel_entries) EXPECT_EQ(k[n], v) << n << ": " << k[n] - v;

    const double* w = blackman_half_window();
    const std::pair<int, double> window_entries[] = {{1, 2.1188236073999001e-07},
                                                     {100, 0.0021367512797803578},
                                                     {1000, 0.32199593885012223},
                                                     {1500, 0.74498081644622871},
                                                     {2047, 0.99999975868976432}};
    for (const auto& [n, v] : window_entries) EXPECT_NEAR(w[n], v, 4e-16) << n;
    double sum = 0;
    for (int n = 0; n < kBlackmanHalfLength; ++n) sum += w[n];
    EXPECT_NEAR(2 * sum, 1719.8999999999999, 1e-10);
}

TEST(ResamplerKernel, ShapeAndNormalisationPerPhase) {
    const double* kernel = resampler_kernel();
    double total = 0;
    for (int n = 0; n < kResamplerKernelLength; ++n) {
        ASSERT_GT(kernel[n], 0.0) << n;
        ASSERT_EQ(kernel[n], kernel[kResamplerKernelLength - 1 - n]) << n;
        ASSERT_LE(kernel[n], kernel[kResamplerKernelCentre]) << n;
        total += kernel[n];
    }
    EXPECT_NEAR(total, 256.0, 1e-9);
    for (int ph = 0; ph < kResamplerPhases; ++ph) {
        double s = 0;
        int taps = 0;
        for (int k = ph; k < kResamplerKernelLength; k += kResamplerPhases, ++taps) s += kernel[k];
        EXPECT_NEAR(s, 1.0, 1e-13) << "phase " << ph;
        EXPECT_EQ(taps, ph <= 252 ? 122 : 121) << "phase " << ph;
    }
}

TEST(ResamplerKernel, FollowsDeemphasisInPassBand) {
    for (double f : {1e3, 2.122e3, 5e3, 10e3}) {
        const double r = kernel_response_db(f);
        EXPECT_NEAR(r, deemphasis_db(f), 0.12) << f << " Hz: " << r << " dB";
    }
    EXPECT_NEAR(kernel_response_db(15e3), deemphasis_db(15e3), 0.32);
    EXPECT_NEAR(kernel_response_db(0.0), 0.0, 1e-12);
    std::printf("kernel response at 203.7 kHz input:");
    for (double f : {1e3, 2.122e3, 5e3, 10e3, 15e3, 16e3, 17e3, 18e3, 19e3})
        std::printf(" %.3g kHz %.2f dB;", f / 1e3, kernel_response_db(f));
    std::printf("\n");
}

TEST(ResamplerKernel, StopBandFrom19kHzIncludingImages) {
    // Up to half the input rate the prototype does the work; beyond it the four
    // moving averages must keep every image of the pass band down as well.
    double worst = -1000, worst_f = 0;
    for (double f = 19e3; f <= kInputRate / 2; f += 25)
        if (double r = kernel_response_db(f); r > worst) worst = r, worst_f = f;
    for (double f = kInputRate / 2; f <= 4.5 * kInputRate; f += 250)
        if (double r = kernel_response_db(f); r > worst) worst = r, worst_f = f;
    EXPECT_LE(worst, -80.0) << "at " << worst_f << " Hz";
    std::printf("stop band peak from 19 kHz to 4.5 x input rate: %.2f dB at %.0f Hz\n", worst,
                worst_f);
    // The transition band is monotonic.
    EXPECT_LT(kernel_response_db(17e3), kernel_response_db(16e3));
    EXPECT_LT(kernel_response_db(18e3), kernel_response_db(17e3) - 10);
}

}  // namespace
}  // namespace radio_dsp
