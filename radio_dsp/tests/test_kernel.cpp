// The committed kernel and window tables, checked from the tables themselves.
#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <cstdio>

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
    for (int n = 0; n < kResamplerKernelLength; ++n) {
        // Rotate by one grid step; restart from the exact value every 256 steps.
        e = n % 256 == 0 ? std::polar(1.0, w * (n - kResamplerKernelCentre)) : e * turn;
        s += resampler_kernel[n] * e;
    }
    return 20 * std::log10(std::abs(s) / kResamplerPhases);
}

double deemphasis_db(double f) {
    const double x = 2 * kPi * f * 75e-6;
    return -10 * std::log10(1 + x * x);
}

TEST(ResamplerKernel, ShapeAndNormalisationPerPhase) {
    double total = 0;
    for (int n = 0; n < kResamplerKernelLength; ++n) {
        ASSERT_GT(resampler_kernel[n], 0.0) << n;
        ASSERT_EQ(resampler_kernel[n], resampler_kernel[kResamplerKernelLength - 1 - n]) << n;
        ASSERT_LE(resampler_kernel[n], resampler_kernel[kResamplerKernelCentre]) << n;
        total += resampler_kernel[n];
    }
    EXPECT_NEAR(total, 256.0, 1e-9);
    for (int ph = 0; ph < kResamplerPhases; ++ph) {
        double s = 0;
        int taps = 0;
        for (int k = ph; k < kResamplerKernelLength; k += kResamplerPhases, ++taps)
            s += resampler_kernel[k];
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

TEST(BlackmanHalfWindow, MatchesFormulaAndSum) {
    double sum = 0;
    for (int n = 0; n < kBlackmanHalfLength; ++n) {
        const double w =
            0.42 - 0.5 * std::cos(2 * kPi * n / 4095) + 0.08 * std::cos(4 * kPi * n / 4095);
        ASSERT_NEAR(blackman_half_window[n], w, 1e-15) << n;
        sum += blackman_half_window[n];
    }
    EXPECT_NEAR(2 * sum, 1719.9, 1e-6);
}

}  // namespace
}  // namespace radio_dsp
