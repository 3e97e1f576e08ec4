#include <gtest/gtest.h>

#include <cmath>
#include <utility>
#include <vector>

#include "nco.h"
#include "signal_path.h"

namespace radio_dsp {
namespace {

constexpr double kPi = 3.14159265358979323846;

TEST(NcoWord, BothClocks) {
    EXPECT_EQ(nco_word(100e6, kQv01NcoClockHz), 0x83E0F83Eu);
    const uint32_t w = nco_word(105.7e6, kQv01NcoClockHz);
    EXPECT_EQ(w & 0xFFFF, 0xE59Fu);
    EXPECT_EQ(w >> 16, 0x99FCu);
    EXPECT_EQ(nco_word(100e6, kClassicNcoClockHz), 0x80000000u);
    EXPECT_EQ(nco_word(100.9e6, kClassicNcoClockHz), 0x85C28F5Cu);
    EXPECT_EQ(nco_word(0.0, kQv01NcoClockHz), 0u);
    EXPECT_EQ(nco_word(-1.0, kClassicNcoClockHz), 0xFFFFFF95u);  // trunc(-107.37) = -107
    EXPECT_EQ(nco_word(std::nan(""), kClassicNcoClockHz), 0u);
    EXPECT_EQ(nco_word(1e300, kClassicNcoClockHz), 0u);  // multiple of 2^32: low bits 0
}

TEST(NcoWord, WriteSequence) {
    std::vector<std::pair<int, int>> writes;
    write_nco_word(0x83E0F83Eu, [&](int a, int v) { writes.emplace_back(a, v); });
    const std::vector<std::pair<int, int>> expected{{46, 0xF83E}, {47, 0x83E0}, {5, 0x8003}};
    EXPECT_EQ(writes, expected);
    // No board: the empty writer is never called (calling it would throw).
    EXPECT_NO_THROW(write_nco_word(1u, RegisterWriter()));
}

TEST(Afc, EstimateFromLeftChannelOnly) {
    std::vector<int16_t> frames(2 * 4096);
    for (int k = 0; k < 4096; ++k) {
        frames[2 * k] = 3276;
        frames[2 * k + 1] = -30000;  // right channel ignored
    }
    // Constant level L: S = L * 1719.9, so the error is L / 32767 * 75 kHz.
    EXPECT_NEAR(afc_frequency_error(frames.data()), 3276.0 / 32767 * 75000, 0.01);

    SignalPath path(kQv01SignalPath);
    std::vector<std::pair<int, int>> writes;
    path.set_register_writer([&](int a, int v) { writes.emplace_back(a, v); });
    path.set_frequency(100e6);
    const double f = path.afc_step(frames.data());
    EXPECT_NEAR(f, 100e6 - 0.27 * 3276.0 / 32767 * 75000, 0.01);
    ASSERT_EQ(writes.size(), 6u);
    EXPECT_EQ(writes[3].second, static_cast<int>(nco_word(f, kQv01NcoClockHz) & 0xFFFF));
}

// Closed loop: a station offset from the tuning; each round demodulates a
// carrier at the remaining offset (the chip's mixer puts a station below the
// tuning at positive baseband frequencies, hence the AFC's subtraction) through discriminator and
// resampler, and the AFC removes 0.27 of the estimate. At 203.7 kHz the estimate is 13000 * 2 pi /
// fs * 75 kHz / 32767 = 0.918 of the true offset, so the error shrinks by 1 - 0.27 * 0.918 per
// block.
TEST(Afc, ErrorDecaysGeometrically) {
    const double fs = 66e6 / 324;
    const double station = 100.02e6;
    SignalPath path(kQv01SignalPath);
    path.set_frequency(100e6);
    const double ratio = 1 - kAfcGain * 13000 * 2 * kPi / fs * 75000 / 32767;
    double prev_err = station - path.frequency_hz();
    std::vector<int16_t> out(2 * 4096);
    for (int round = 0; round < 12; ++round) {
        FmDiscriminator d;
        DemodRing ring;
        Resampler r;
        for (int b = 0; b < 5; ++b) {
            std::vector<int16_t> iq(2 * 4096);
            for (int k = 0; k < 4096; ++k) {
                const double a = -2 * kPi * prev_err / fs * (k + 4096 * b);
                iq[2 * k] = static_cast<int16_t>(std::lround(20000 * std::cos(a)));
                iq[2 * k + 1] = static_cast<int16_t>(std::lround(20000 * std::sin(a)));
            }
            d.demodulate_block(iq.data(), ring, nullptr, false, nullptr);
        }
        r.phase_accumulator = 1u << 8;  // skip the first entry (step against (1, 0))
        r.resample(ring, out.data(), 4096, ChannelLayout::kMonoBoth);
        path.afc_step(out.data());
        const double err = station - path.frequency_hz();
        EXPECT_NEAR(err / prev_err, ratio, 0.002) << "round " << round;
        prev_err = err;
    }
    EXPECT_LT(std::fabs(prev_err), 20e3 * std::pow(ratio, 12) * 1.05);
}

}  // namespace
}  // namespace radio_dsp
