#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "fm_discriminator.h"
#include "per_frame_reference.h"
#include "simd_paths.h"

namespace radio_dsp {
namespace {

constexpr double kPi = 3.14159265358979323846;

std::vector<int16_t> carrier(double cycles_per_sample, double amplitude, double phase0,
                             int frames = 4096) {
    std::vector<int16_t> iq(2 * frames);
    for (int k = 0; k < frames; ++k) {
        const double a = phase0 + 2 * kPi * cycles_per_sample * k;
        iq[2 * k] = static_cast<int16_t>(std::lround(amplitude * std::cos(a)));
        iq[2 * k + 1] = static_cast<int16_t>(std::lround(amplitude * std::sin(a)));
    }
    return iq;
}

TEST(PhaseAngle, MatchesAtan2EverywhereIncludingAxes) {
    std::mt19937 rng(3);
    std::uniform_real_distribution<double> u(-1.0, 1.0);
    double worst = 0;
    for (int n = 0; n < 200000; ++n) {
        const double y = u(rng) * (n % 3 ? 1.0 : 1e9), x = u(rng);
        worst = std::max(worst, std::fabs(phase_angle(y, x) - std::atan2(y, x)));
    }
    EXPECT_LT(worst, 1e-12);
    EXPECT_EQ(phase_angle(0.0, -5.0), std::atan2(0.0, -5.0));  // +pi, not -pi
    EXPECT_EQ(phase_angle(0.0, 5.0), 0.0);
    EXPECT_NEAR(phase_angle(5.0, 0.0), kPi / 2, 1e-15);
    EXPECT_NEAR(phase_angle(-5.0, 0.0), -kPi / 2, 1e-15);
    EXPECT_NEAR(phase_angle(3.0, 3.0), kPi / 4, 1e-15);
    EXPECT_NEAR(phase_angle(-3.0, -3.0), -3 * kPi / 4, 1e-15);
}

TEST(FmDiscriminator, ConstantOffsetGivesConstantPhaseStep) {
    const double f = 12e3 / 203.7e3;  // 12 kHz offset at 203.7 kHz
    const auto iq = carrier(f, 20000, 0.3);
    FmDiscriminator d;
    DemodRing ring;
    d.demodulate_block(iq.data(), ring, nullptr, false, nullptr);
    EXPECT_NEAR(ring.at(0), 0.3, 1e-4);  // first frame against (1, 0)
    for (int k = 1; k < 4096; ++k) ASSERT_NEAR(ring.at(k), 2 * kPi * f, 2e-4) << k;
    EXPECT_EQ(ring.write_index, 4096);
    EXPECT_EQ(d.previous, std::complex<float>(iq[8190], iq[8191]));
    // Mean magnitude: exponential mean of a constant 20000 from 0.
    EXPECT_NEAR(d.mean_magnitude, 20000 * (1 - std::pow(0.9999, 4096)), 1.0);
}

TEST(FmDiscriminator, SinusoidalDeviationIsRecovered) {
    // 75 kHz peak deviation at 3 kHz: phase steps up to 2.31 rad.
    const double fs = 203.7e3;
    std::vector<int16_t> iq(2 * 4096);
    double phase = 0;
    std::vector<double> step(4096);
    for (int k = 0; k < 4096; ++k) {
        step[k] = 2 * kPi * 75e3 * std::sin(2 * kPi * 3e3 * k / fs) / fs;
        phase += step[k];
        iq[2 * k] = static_cast<int16_t>(std::lround(30000 * std::cos(phase)));
        iq[2 * k + 1] = static_cast<int16_t>(std::lround(30000 * std::sin(phase)));
    }
    FmDiscriminator d;
    DemodRing ring;
    d.previous = {30000.0f, 0.0f};
    d.demodulate_block(iq.data(), ring, nullptr, false, nullptr);
    for (int k = 0; k < 4096; ++k) ASSERT_NEAR(ring.at(k), step[k], 1e-4) << k;
}

TEST(FmDiscriminator, ZeroFramesRepeatAndKeepPreviousSample) {
    auto iq = carrier(0.01, 10000, 0.0);
    for (int k : {0, 100, 101, 102, 4095}) iq[2 * k] = iq[2 * k + 1] = 0;
    FmDiscriminator d;
    DemodRing ring;
    ring.store(65535, 0.75f);  // entry before the write index
    d.demodulate_block(iq.data(), ring, nullptr, false, nullptr);
    EXPECT_EQ(ring.at(0), 0.75f);
    EXPECT_NEAR(ring.at(1), 2 * kPi * 0.01 * 1, 1e-3);  // frame 1 against (1, 0)
    EXPECT_EQ(ring.at(100), ring.at(99));
    EXPECT_EQ(ring.at(102), ring.at(99));
    EXPECT_NEAR(ring.at(103), 2 * kPi * 0.01 * 4, 1e-3);  // against frame 99
    EXPECT_EQ(ring.at(4095), ring.at(4094));
    EXPECT_EQ(d.previous, std::complex<float>(iq[2 * 4094], iq[2 * 4094 + 1]));

    // A whole block of zeros repeats the last entry 4096 times.
    const std::complex<float> before = d.previous;
    std::vector<int16_t> zeros(2 * 4096, 0);
    d.demodulate_block(zeros.data(), ring, nullptr, false, nullptr);
    for (int k = 4096; k < 8192; ++k) ASSERT_EQ(ring.at(k), ring.at(4095));
    EXPECT_EQ(d.previous, before);
}

// The vector path against complex division and atan2f per frame, across
// blocks and ring wrap, with and without zero or full-scale frames, both plot
// modes and image layouts, in each compiled form.
void match_per_frame_reference(ImageLayout layout) {
    std::mt19937 rng(11);
    std::normal_distribution<double> noise(0, 3000);
    FmDiscriminator fast;
    reference::Discriminator ref;
    DemodRing ring;
    std::vector<float> ref_ring(kDemodRingSize, 0.0f);
    // The first block wraps the ring, the second starts inside its mirrored head.
    uint16_t ref_w = 61500;
    ring.write_index = 61500;
    ConstellationImage img_fast(layout), img_ref(layout);
    std::vector<std::complex<double>> spec_fast(4096), spec_ref(4096);
    double phase = 0;
    for (int block = 0; block < 6; ++block) {
        std::vector<int16_t> iq(2 * 4096);
        for (int k = 0; k < 4096; ++k) {
            phase += 0.9 * std::sin(0.001 * (k + 4096 * block));
            iq[2 * k] = static_cast<int16_t>(std::lround(12000 * std::cos(phase) + noise(rng)));
            iq[2 * k + 1] = static_cast<int16_t>(std::lround(12000 * std::sin(phase) + noise(rng)));
            if (block == 2 && k % 97 == 0) iq[2 * k] = iq[2 * k + 1] = 0;
            // Full scale: -32768 as the frame before, |z|^2 = 2^31, and (block 5)
            // two frames of two -32768s in a row, whose product is 2^31.
            const int16_t full[3][2] = {{-32768, -32768}, {7000, -32768}, {-32768, 300}};
            if (block == 4 && k % 61 < 3)
                iq[2 * k] = full[k % 61][0], iq[2 * k + 1] = full[k % 61][1];
            if (block == 5 && k % 83 < 2) iq[2 * k] = iq[2 * k + 1] = -32768;
        }
        const bool delta = block % 2 == 1;
        const uint16_t w0 = ring.write_index;
        fast.demodulate_block(iq.data(), ring, &img_fast, delta, spec_fast.data());
        ref.demodulate_block(iq.data(), ref_ring.data(), ref_w, &img_ref, delta, spec_ref.data());
        ASSERT_EQ(ring.write_index, ref_w);
        for (int k = 0; k < 4096; ++k) {
            const uint16_t i = static_cast<uint16_t>(w0 + k);
            ASSERT_NEAR(ring.at(i), ref_ring[i], 1e-6) << "block " << block << " frame " << k;
        }
        ASSERT_EQ(spec_fast, spec_ref);
        EXPECT_EQ(fast.previous, ref.previous);
        EXPECT_DOUBLE_EQ(fast.mean_magnitude, ref.mean_magnitude);
    }
    // The ring's mirrored head matches the entries it copies.
    for (int k = 0; k < kRingMirror; ++k) ASSERT_EQ(ring.window(0)[kDemodRingSize + k], ring.at(k));
    int differing = 0;
    for (int k = 0; k < img_fast.size_bytes(); ++k)
        differing += img_fast.data()[k] != img_ref.data()[k];
    EXPECT_EQ(differing, 0);
}

TEST(FmDiscriminator, MatchesPerFrameReference) {
    for_each_simd_path([] {
        for (ImageLayout layout : {ImageLayout::kRgb32Set, ImageLayout::kBgr24Brighten})
            match_per_frame_reference(layout);
    });
}

TEST(FmDiscriminator, ConstellationDots) {
    // Delta mode: a clean carrier draws its rotation on the radius-32 circle;
    // zero frames leave no dot.
    const double f = 0.05;
    const auto iq = carrier(f, 20000, 0.0);
    FmDiscriminator d;
    DemodRing ring;
    ConstellationImage img(ImageLayout::kRgb32Set);
    d.previous = {20000.0f, 0.0f};
    d.demodulate_block(iq.data(), ring, &img, true, nullptr);
    const int row = static_cast<int>(std::sin(2 * kPi * f) * 32 + 64);
    const int col = static_cast<int>(std::cos(2 * kPi * f) * 32 + 64);
    EXPECT_EQ(img.pixel(row, col)[1], 255);
    int lit = 0;
    for (int k = 0; k < img.size_bytes(); k += 4) lit += img.data()[k + 1] != 0;
    EXPECT_LE(lit, 4);  // rounding may put the dot on a neighbour too

    std::vector<int16_t> zeros(2 * 4096, 0);
    ConstellationImage delta_img(ImageLayout::kRgb32Set), raw_img(ImageLayout::kRgb32Set);
    d.demodulate_block(zeros.data(), ring, &delta_img, true, nullptr);
    for (int k = 0; k < delta_img.size_bytes(); ++k) ASSERT_EQ(delta_img.data()[k], 0);
    // Raw mode: zero frames light the centre pixel red (magnitude not above mean).
    d.demodulate_block(zeros.data(), ring, &raw_img, false, nullptr);
    EXPECT_EQ(raw_img.pixel(64, 64)[2], 127);
    EXPECT_EQ(raw_img.pixel(64, 64)[1], 0);
}

}  // namespace
}  // namespace radio_dsp
