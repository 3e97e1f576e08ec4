#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "demod_ring.h"
#include "fm_discriminator.h"
#include "per_frame_reference.h"
#include "simd_paths.h"

namespace radio_dsp {
namespace {

void set_fill(DemodRing& ring, int avail) {
    ring.read_index = 1000;
    ring.write_index = static_cast<uint16_t>(1000 + avail);
}

TEST(RateMatching, Qv01ThresholdsAndHysteresis) {
    DemodRing ring;
    Resampler r(kQv01RateMatch);
    set_fill(ring, 29999);
    EXPECT_EQ(r.match_rate(ring), -1);
    EXPECT_EQ(r.step, 1181);
    EXPECT_EQ(r.lower_threshold, 29499);
    EXPECT_EQ(r.upper_threshold, 40000);
    set_fill(ring, 29499);  // not below the moved threshold: no change
    EXPECT_EQ(r.match_rate(ring), 0);
    EXPECT_EQ(r.step, 1181);
    set_fill(ring, 10000);  // 1 + 20000 / 1500
    EXPECT_EQ(r.match_rate(ring), -1);
    EXPECT_EQ(r.step, 1181 - 14);
    EXPECT_EQ(r.lower_threshold, 9500);
    set_fill(ring, 40001);  // raise restores the lower threshold
    EXPECT_EQ(r.match_rate(ring), 1);
    EXPECT_EQ(r.step, 1167 + 1);
    EXPECT_EQ(r.upper_threshold, 40501);
    EXPECT_EQ(r.lower_threshold, 30000);
    set_fill(ring, 40400);
    EXPECT_EQ(r.match_rate(ring), 0);
    set_fill(ring, 65535);  // 1 + 25535 / 1500
    EXPECT_EQ(r.match_rate(ring), 1);
    EXPECT_EQ(r.step, 1168 + 18);
    set_fill(ring, 35000);  // inside the window: nothing moves
    EXPECT_EQ(r.match_rate(ring), 0);
    EXPECT_EQ(r.step, 1186);
}

TEST(RateMatching, ClassicParameters) {
    DemodRing ring;
    Resampler r(kClassicRateMatch);
    EXPECT_EQ(r.step, 1200);
    set_fill(ring, 29999);
    r.match_rate(ring);
    EXPECT_EQ(r.step, 1199);
    EXPECT_EQ(r.lower_threshold, 29499);
    Resampler r2(kClassicRateMatch);
    set_fill(ring, 10000);  // 1 + 20000 / 500
    r2.match_rate(ring);
    EXPECT_EQ(r2.step, 1200 - 41);
    set_fill(ring, 40001);
    r2.match_rate(ring);
    EXPECT_EQ(r2.step, 1159 + 1);
    EXPECT_EQ(r2.upper_threshold, 40501);
    EXPECT_EQ(r2.lower_threshold, 30000);
}

// Levels above 32767 across the wrap: a 16-bit signed difference turns them
// negative.
TEST(RateMatching, FillLevelWrapsModulo65536) {
    DemodRing ring;
    ring.read_index = 65000;
    ring.write_index = 40000;
    EXPECT_EQ(ring.fill_level(), 40536);
    ring.read_index = 1;
    ring.write_index = 0;
    EXPECT_EQ(ring.fill_level(), 65535);
}

TEST(Resampler, ConstantRingGivesGainTimesLevelAtEveryPhase) {
    DemodRing ring;
    for (int k = 0; k < kDemodRingSize; ++k) ring.push(0.1f);
    Resampler r;
    r.step = 1181;  // odd step: every fraction appears within 256 frames
    std::vector<int16_t> out(2 * 4096);
    r.resample(ring, out.data(), 4096, ChannelLayout::kMonoBoth);
    for (int i = 0; i < 4096; ++i) {
        ASSERT_EQ(out[2 * i], 1300) << i;
        ASSERT_EQ(out[2 * i + 1], 1300) << i;
    }
}

TEST(Resampler, ClampNeverGivesMinus32768AndLeftOnlyLayout) {
    DemodRing ring;
    Resampler r;
    std::vector<int16_t> out(2 * 64);
    for (float c : {5.0f, -5.0f, 2.5206f, -2.5206f}) {  // 13000 * 2.5206 = 32767.8
        for (int k = 0; k < kDemodRingSize; ++k) ring.store(static_cast<uint16_t>(k), c);
        r.resample(ring, out.data(), 64, ChannelLayout::kLeftOnly);
        for (int i = 0; i < 64; ++i) {
            ASSERT_EQ(out[2 * i], c > 0 ? 32767 : -32767);
            ASSERT_EQ(out[2 * i + 1], 0);
        }
    }
}

TEST(Resampler, CarrierOffsetGivesLevel13000TimesPhaseStep) {
    // A carrier 10 kHz off the tuning at 203.7 kHz: 13000 * 2 pi * 10e3 / fs = 4009.9.
    const double fs = 66e6 / 324, pi = 3.14159265358979323846;
    FmDiscriminator d;
    DemodRing ring;
    std::vector<int16_t> iq(2 * 4096);
    long t = 0;
    for (int b = 0; b < 5; ++b) {
        for (int k = 0; k < 4096; ++k, ++t) {
            iq[2 * k] = static_cast<int16_t>(std::lround(15000 * std::cos(2 * pi * 10e3 * t / fs)));
            iq[2 * k + 1] =
                static_cast<int16_t>(std::lround(15000 * std::sin(2 * pi * 10e3 * t / fs)));
        }
        d.demodulate_block(iq.data(), ring, nullptr, false, nullptr);
    }
    Resampler r;
    r.phase_accumulator = 1u << 8;  // past entry 0, the step against (1, 0)
    std::vector<int16_t> out(2 * 4096);
    r.resample(ring, out.data(), 4096, ChannelLayout::kMonoBoth);
    const double level = 13000 * 2 * pi * 10e3 / fs;
    for (int i = 0; i < 4096; ++i) ASSERT_NEAR(out[2 * i], level, 1.0) << i;
}

// The optimised resampler against the stride-256 reference, over random ring
// contents, many phase steps and start positions including the ring's end and
// the accumulator's 2^32 wrap.
TEST(Resampler, EqualsBruteForceReferenceAcrossPhasesAndWraps) {
    std::mt19937 rng(7);
    std::uniform_real_distribution<float> u(-2.4f, 2.4f);
    DemodRing ring;
    std::vector<float> plain(kDemodRingSize);
    // Written through push across the end, so the mirrored head is exercised.
    ring.write_index = 65000;
    for (int k = 0; k < kDemodRingSize + 300; ++k) {
        const float v = u(rng);
        plain[ring.write_index] = v;
        ring.push(v);
    }
    const uint32_t starts[] = {0u, 0xFFFFFF00u - 1182u * 100u, 0xFFFF0000u, 65400u << 8, 12345u};
    const int steps[] = {1182, 1200, 1181, 1000, 1500, 257};
    std::vector<int16_t> fast(2 * 1024), ref(2 * 1024);
    for_each_simd_path([&] {
        for (uint32_t start : starts)
            for (int step : steps) {
                Resampler r;
                r.step = step;
                r.phase_accumulator = start;
                r.resample(ring, fast.data(), 1024, ChannelLayout::kMonoBoth);
                uint32_t acc = start;
                uint16_t ref_read = 0;
                reference::resample(plain.data(), acc, step, ref.data(), 1024, false, ref_read);
                ASSERT_EQ(fast, ref) << "start " << start << " step " << step;
                EXPECT_EQ(r.phase_accumulator, acc);
                EXPECT_EQ(ring.read_index, ref_read);
            }
    });
}

// A fractional ratio: each frame takes the integer step and the kernel phase
// of the accumulator the fraction has carried into, so frame i sits at
// exactly start + i * ratio (to 2^-40 input sample) and is the integer
// resampler's frame at that position.
TEST(Resampler, FractionalRatioIsTheIntegerResamplerAtCarriedPositions) {
    std::mt19937 rng(9);
    std::uniform_real_distribution<float> u(-2.4f, 2.4f);
    DemodRing ring;
    std::vector<float> plain(kDemodRingSize);
    for (int k = 0; k < kDemodRingSize; ++k) {
        plain[k] = u(rng);
        ring.store(static_cast<uint16_t>(k), plain[k]);
    }
    Resampler r;
    r.set_ratio(1182.498);
    EXPECT_EQ(r.step, 1182);
    EXPECT_NEAR(r.ratio(), 1182.498, 1e-9);
    r.phase_accumulator = 0xFFFF0000u;  // wraps within the block
    r.phase_fraction = 0x80000000u;
    const uint64_t start = uint64_t(r.phase_accumulator) << 32 | r.phase_fraction;
    const uint64_t step = uint64_t(1182) << 32 | r.step_fraction;
    EXPECT_EQ(r.tap_position(1000), static_cast<uint16_t>((start + 1000 * step) >> 40));
    std::vector<int16_t> fast(2 * 4096), ref(2);
    r.resample(ring, fast.data(), 4096, ChannelLayout::kMonoBoth);
    for (int i = 0; i < 4096; ++i) {
        uint32_t acc = static_cast<uint32_t>((start + i * step) >> 32);
        uint16_t read = 0;
        reference::resample(plain.data(), acc, 0, ref.data(), 1, false, read);
        ASSERT_EQ(fast[2 * i], ref[0]) << i;
    }
    EXPECT_EQ(uint64_t(r.phase_accumulator) << 32 | r.phase_fraction, start + 4096 * step);
    r.set_ratio(1181.9999999999);  // rounds up to a whole step
    EXPECT_EQ(r.step, 1182);
    EXPECT_EQ(r.step_fraction, 0u);
}

}  // namespace
}  // namespace radio_dsp
