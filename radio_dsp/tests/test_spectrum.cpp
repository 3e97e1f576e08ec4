#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <iterator>
#include <random>
#include <vector>

#include "per_frame_reference.h"
#include "power_spectrum_columns.h"
#include "power_spectrum_estimator.h"
#include "simd_paths.h"

namespace radio_dsp {
namespace {

constexpr double kPi = 3.14159265358979323846;

std::vector<std::complex<double>> tone(int n, double bins, int N) {
    std::vector<std::complex<double>> x(n);
    for (int k = 0; k < n; ++k) x[k] = std::polar(1000.0, 2 * kPi * bins * k / N);
    return x;
}

TEST(SpectrumEstimator, DcAndPlusMinusKBins) {
    SpectrumEstimator est;
    EXPECT_EQ(est.result(), nullptr);
    const int N = 4096;
    for (int k : {0, 5, -5, 2047, -2048}) {
        const auto x = tone(N, k, N);
        ASSERT_EQ(est.compute(x.data()), 0);
        const double* r = est.result();
        const int peak = N / 2 + k;
        EXPECT_NEAR(r[peak], std::pow(1000.0 * N, 2), 1e-6 * std::pow(1000.0 * N, 2)) << k;
        for (int i = 0; i < N; ++i) {
            if (i != peak) {
                ASSERT_LT(r[i], 1e-12 * r[peak]) << "k " << k << " bin " << i;
            }
        }
    }
}

void same_as_plan_per_call() {
    std::mt19937 rng(5);
    std::normal_distribution<double> g(0, 3000);
    std::vector<std::complex<double>> x(4096);
    SpectrumEstimator est;
    est.window = blackman_window;
    std::vector<double> ref(4096);
    const double* first = nullptr;
    for (int round = 0; round < 3; ++round) {
        for (auto& v : x) v = {g(rng), g(rng)};
        ASSERT_EQ(est.compute(x.data()), 0);
        reference::spectrum(x.data(), 4096, 1, 4096, 1, blackman_window, ref.data());
        for (int i = 0; i < 4096; ++i) ASSERT_EQ(est.result()[i], ref[i]) << i;
        if (round == 0) first = est.result();
        EXPECT_EQ(est.result(), first);  // buffers kept: no reallocation per block
    }
    // A full-scale tone under the Blackman window peaks at (32767 x 1719.9)^2, 155.02 dB.
    for (int k = 0; k < 4096; ++k) x[k] = std::polar(32767.0, 2 * kPi * 100 * k / 4096);
    est.compute(x.data());
    EXPECT_NEAR(10 * std::log10(est.result()[2048 + 100]), 20 * std::log10(32767 * 1719.9), 1e-6);
}

TEST(SpectrumEstimator, SameAsPlanPerCallWithBlackman) {
    for_each_simd_path(same_as_plan_per_call);
}

void segments_and_rows_average() {
    std::mt19937 rng(9);
    std::normal_distribution<double> g(0, 100);
    std::vector<std::complex<double>> x(2 * 8192);
    for (auto& v : x) v = {g(rng), g(rng)};
    SpectrumEstimator est;
    est.window = blackman_window;
    est.row_length = 8192;
    est.rows = 2;
    est.N = 4096;
    est.segments = 3;
    ASSERT_EQ(est.compute(x.data()), 0);
    // Segment offsets 0, 2048, 4096 in each row: mean of six periodograms.
    std::vector<double> mean(4096, 0.0), one(4096);
    for (int r = 0; r < 2; ++r)
        for (int off : {0, 2048, 4096}) {
            reference::spectrum(x.data() + r * 8192 + off, 4096, 1, 4096, 1, blackman_window,
                                one.data());
            for (int i = 0; i < 4096; ++i) mean[i] += one[i] / 6;
        }
    for (int i = 0; i < 4096; ++i) ASSERT_NEAR(est.result()[i], mean[i], 1e-9 * mean[i]) << i;
}

// A measured plan is kept by FFTW for the process and taken by every later
// plan of the size: an estimator planned by estimate gives the same numbers
// (the panels compare what the radio sends with their own estimator).
TEST(SpectrumEstimator, MeasuredPlanIsTakenByEveryEstimator) {
    std::mt19937 rng(7);
    std::normal_distribution<double> g(0, 3000);
    std::vector<std::complex<double>> x(4096);
    for (auto& v : x) v = {g(rng), g(rng)};
    SpectrumEstimator measured, estimated;
    measured.window = estimated.window = blackman_window;
    ASSERT_EQ(measured.plan_measured(), 0);
    ASSERT_EQ(measured.compute(x.data()), 0);
    ASSERT_EQ(estimated.compute(x.data()), 0);
    for (int i = 0; i < 4096; ++i) ASSERT_EQ(measured.result()[i], estimated.result()[i]) << i;
    measured.N = 0;
    EXPECT_EQ(measured.plan_measured(), -22);
}

TEST(SpectrumEstimator, SegmentsAndRowsAverage) { for_each_simd_path(segments_and_rows_average); }

// 16-bit frames as input: the same result as the frames given as complex
// doubles, across rows and overlapping segments.
TEST(SpectrumEstimator, FramesGiveTheSameResultAsComplexValues) {
    std::mt19937 rng(13);
    std::uniform_int_distribution<int> u(-32768, 32767);
    std::vector<int16_t> iq(2 * 2 * 8192);
    std::vector<std::complex<double>> x(2 * 8192);
    for (size_t k = 0; k < x.size(); ++k) {
        iq[2 * k] = static_cast<int16_t>(u(rng));
        iq[2 * k + 1] = static_cast<int16_t>(u(rng));
        x[k] = {double(iq[2 * k]), double(iq[2 * k + 1])};
    }
    for_each_simd_path([&] {
        SpectrumEstimator est;
        est.window = blackman_window;
        est.row_length = 8192;
        est.rows = 2;
        est.segments = 3;
        ASSERT_EQ(est.compute(x.data()), 0);
        const std::vector<double> from_complex(est.result(), est.result() + 4096);
        ASSERT_EQ(est.compute_frames(iq.data()), 0);
        for (int i = 0; i < 4096; ++i) ASSERT_EQ(est.result()[i], from_complex[i]) << i;
    });
}

// Single precision, as the radio's display takes it: every power within 1e-5
// of the largest of the double-precision transform, for 16-bit frames and
// complex input, averaged rows and segments included; switching back plans
// in double again (the same numbers as before).
TEST(SpectrumEstimator, SinglePrecisionFollowsDouble) {
    std::mt19937 rng(17);
    std::normal_distribution<double> g(0, 2000);
    std::vector<int16_t> iq(2 * 8192);
    std::vector<std::complex<double>> x(8192);
    for (int k = 0; k < 8192; ++k) {
        x[k] = std::polar(20000.0, 0.3 * k) + std::complex<double>(g(rng), g(rng));
        iq[2 * k] = static_cast<int16_t>(std::lround(x[k].real()));
        iq[2 * k + 1] = static_cast<int16_t>(std::lround(x[k].imag()));
    }
    for_each_simd_path([&] {
        // One periodogram (the radio's), two rows, three segments.
        const int shapes[3][3] = {{4096, 1, 1}, {4096, 2, 1}, {8192, 1, 3}};
        for (const auto& shape : shapes) {
            SpectrumEstimator est;
            est.window = blackman_window;
            est.row_length = shape[0];
            est.rows = shape[1];
            est.segments = static_cast<uint8_t>(shape[2]);
            ASSERT_EQ(est.compute_frames(iq.data()), 0);
            const std::vector<double> frames(est.result(), est.result() + 4096);
            ASSERT_EQ(est.compute(x.data()), 0);
            const std::vector<double> complex(est.result(), est.result() + 4096);
            const double largest = *std::max_element(complex.begin(), complex.end());
            est.single_precision = true;
            ASSERT_EQ(est.compute_frames(iq.data()), 0);
            for (int i = 0; i < 4096; ++i) ASSERT_NEAR(est.result()[i], frames[i], 1e-5 * largest);
            ASSERT_EQ(est.compute(x.data()), 0);
            for (int i = 0; i < 4096; ++i) ASSERT_NEAR(est.result()[i], complex[i], 1e-5 * largest);
            est.single_precision = false;
            ASSERT_EQ(est.compute(x.data()), 0);
            for (int i = 0; i < 4096; ++i) ASSERT_EQ(est.result()[i], complex[i]);
        }
    });
}

TEST(SpectrumEstimator, DegenerateSizes) {
    SpectrumEstimator est;
    est.window = blackman_window;
    est.N = 1;
    est.row_length = 1;
    std::vector<std::complex<double>> x(4, {5.0, 5.0});
    ASSERT_EQ(est.compute(x.data()), 0);
    EXPECT_EQ(est.result()[0], 0.0);
    // A row shorter than the transform would read outside the input.
    est.N = 4;
    est.row_length = 2;
    EXPECT_EQ(est.compute(x.data()), -22);
    est.row_length = 4;
    est.segments = 0;
    EXPECT_EQ(est.compute(x.data()), -22);
}

void min_max_per_column() {
    std::vector<double> p(4096);
    for (int k = 0; k < 4096; ++k) p[k] = std::pow(10.0, (k % 13) / 10.0);  // 0..12 dB
    p[4095] = 1e6;  // 60 dB in the last column
    std::vector<double> lo(541), hi(541);
    ASSERT_EQ(spectrum_columns_db(p.data(), 4096, 541, 10.0, lo.data(), hi.data()), 541);
    // Brute force: column c holds values k with floor(k*541/4096) == c.
    for (int c = 0; c < 541; ++c) {
        double mn = 1e300, mx = -1e300;
        for (int k = 0; k < 4096; ++k)
            if (static_cast<long>(k) * 541 / 4096 == c) {
                mn = std::min(mn, 10 * std::log10(p[k]) - 10.0);
                mx = std::max(mx, 10 * std::log10(p[k]) - 10.0);
            }
        ASSERT_NEAR(lo[c], mn, 1e-9) << c;
        ASSERT_NEAR(hi[c], mx, 1e-9) << c;
    }
    EXPECT_NEAR(hi[540], 50.0, 1e-9);
    // Fewer values than columns: only as many columns as values.
    EXPECT_EQ(spectrum_columns_db(p.data(), 100, 541, 0.0, lo.data(), hi.data()), 100);
}

TEST(SpectrumColumns, MinMaxPerColumnIn_dB) { for_each_simd_path(min_max_per_column); }

// The vectorised logarithm against log10 over the whole range of powers, one
// value per column: within 1e-12 dB, and log10's own answer for zero,
// subnormal, infinite and NaN powers.
TEST(SpectrumColumns, DecibelsOverTheWholeRange) {
    std::mt19937 rng(3);
    std::uniform_real_distribution<double> exponent(-307.0, 308.0);
    std::vector<double> p(4000);
    for (double& v : p) v = std::pow(10.0, exponent(rng));
    const double specials[] = {0.0,      4.9e-324, 2.2e-308,           1e-310,
                               1.0,      2.0,      1.4142135623730951, 1.7976931348623157e308,
                               INFINITY, NAN};
    std::copy(std::begin(specials), std::end(specials), p.begin() + 1001);
    const int n = static_cast<int>(p.size());
    std::vector<double> lo(n), hi(n);
    for_each_simd_path([&] {
        ASSERT_EQ(spectrum_columns_db(p.data(), n, n, 3.0, lo.data(), hi.data()), n);
        for (int k = 0; k < n; ++k) {
            const double exact = 10 * std::log10(p[k]) - 3.0;
            if (!std::isfinite(exact)) {
                ASSERT_TRUE(std::isnan(exact) ? std::isnan(lo[k]) : lo[k] == exact) << p[k];
            } else {
                ASSERT_NEAR(lo[k], exact, 1e-12) << p[k];
            }
            ASSERT_TRUE(lo[k] == hi[k] || (std::isnan(lo[k]) && std::isnan(hi[k]))) << k;
        }
    });
}

}  // namespace
}  // namespace radio_dsp
