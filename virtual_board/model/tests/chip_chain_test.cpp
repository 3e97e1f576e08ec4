// The channel datapath measured from outside: carriers into the RF scene,
// registers through the chip bus, output frames compared with independent
// calculations of where and how strong each carrier must appear.
#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <cstdio>

#include "model_test_util.h"
#include "qv01_regs.h"

using namespace qv01test;
using qv01::reg_addr;
using qv01model::ReferenceChain;

namespace {

constexpr double kFsOut = kClock / 324.0;

// Response of a cascade of boxcars (a CIC) from its impulse response, not
// from the closed form the model uses.
double cic_theory(double f_hz, int r1, int stages1, int r2, int stages2) {
    std::vector<double> h{1.0};
    auto conv_box = [&](int len, int spacing) {
        std::vector<double> out(h.size() + size_t((len - 1) * spacing), 0.0);
        for (size_t i = 0; i < h.size(); ++i)
            for (int k = 0; k < len; ++k) out[i + size_t(k * spacing)] += h[i] / len;
        h.swap(out);
    };
    for (int s = 0; s < stages1; ++s) conv_box(r1, 1);
    for (int s = 0; s < stages2; ++s) conv_box(r2, r1);
    std::complex<double> acc = 0.0;
    for (size_t n = 0; n < h.size(); ++n)
        acc += h[n] * std::polar(1.0, -2.0 * M_PI * f_hz / kClock * double(n));
    return std::abs(acc);
}

// |H| of a folded FIR given by its half c_0..c_n, relative to its DC gain.
double fir_theory(const std::vector<int16_t>& half, double f_hz, double fs_hz) {
    const int n = int(half.size()) - 1;
    std::complex<double> acc = 0.0;
    double dc = 0.0;
    for (int k = 0; k <= 2 * n; ++k) {
        const double c = half[size_t(k <= n ? k : 2 * n - k)];
        acc += c * std::polar(1.0, -2.0 * M_PI * f_hz / fs_hz * k);
        dc += c;
    }
    return std::abs(acc) / dc;
}

// Expected output amplitude of a carrier at offset f_hz from the tuning,
// for the reference chain's filter shapes and the panel's chain gain.
double expected_amplitude(qv01model::Qv01Chip& chip, const ReferenceChain& c, double level_dbfs,
                          double f_hz) {
    const auto h1 =
        qv01model::design_lowpass_half(c.fir1_order / 2, c.fir1_cutoff, c.beta, 32768.0);
    const auto h2 =
        qv01model::design_lowpass_half(c.fir2_order / 2, c.fir2_cutoff, c.beta, 32768.0);
    const double fs1 = kClock / (c.cic2_ratio * c.cicn_ratio);
    return kFs * std::pow(10.0, level_dbfs / 20.0) *
           std::pow(10.0, qv01model::panel_kp_db(chip, 0) / 20.0) *
           cic_theory(f_hz, c.cic2_ratio, 2, c.cicn_ratio, c.cicn_mode + 3) *
           fir_theory(h1, f_hz, fs1) * fir_theory(h2, f_hz, fs1 / c.fir1_ratio);
}

double measured_amplitude(double carrier_hz, double tune_hz, const ReferenceChain& chain,
                          double level, double out_offset_hz, double* expected = nullptr,
                          double f_for_theory = 0.0) {
    auto chip = make_chip(cw_scene(carrier_hz, level));
    configure(*chip, chain, tune_hz);
    if (expected) *expected = expected_amplitude(*chip, chain, level, f_for_theory);
    const auto x = capture(*chip, 8192);
    return std::abs(tone(x, out_offset_hz, chip->output_rate_hz(0)));
}

}  // namespace

TEST(ChipModelChain, OutputRateIsClockOverDecimationWithPpm) {
    auto chip = make_chip(cw_scene(100e6, -20), kClock, 0.0);
    EXPECT_EQ(chip->output_rate_hz(0), 0.0);  // never started
    configure(*chip, ReferenceChain{}, 100e6);
    EXPECT_NEAR(chip->output_rate_hz(0), 66e6 / 324.0, 1e-6);
    chip->write_reg(qv01::kRegControl, qv01::kCmdStop);
    EXPECT_EQ(chip->output_rate_hz(0), 0.0);
    chip->write_reg(qv01::kRegControl, qv01::kCmdStart);
    EXPECT_NEAR(chip->output_rate_hz(0), 66e6 / 324.0, 1e-6);
    chip->write_reg(qv01::kRegControl, 0);
    EXPECT_EQ(chip->output_rate_hz(0), 0.0);

    ReferenceChain other;
    other.cic2_ratio = 5;
    other.cicn_ratio = 10;
    other.fir1_ratio = 3;
    other.fir2_ratio = 1;
    auto fast = make_chip(cw_scene(100e6, -20), 40e6, 25.0);
    configure(*fast, other, 100e6, 40e6);
    EXPECT_NEAR(fast->output_rate_hz(0), 40e6 * (1.0 + 25e-6) / 150.0, 1e-6);
    // A 40 MHz clock with a DFIR1 of ratio 3: the carrier 30 kHz above the
    // tuning comes out at -30 kHz (word of 21 MHz: -101.03 + 21 = -80.03 MHz
    // = -30 kHz mod 40 MHz). (Not at 100 MHz: that is half the clock, where a
    // carrier and its mirror image fall symmetric about the tuning and the
    // output is real.)
    fast = make_chip(cw_scene(101.03e6, -20), 40e6, 0.0);
    configure(*fast, other, 101e6, 40e6);
    EXPECT_NEAR(dominant_frequency(capture(*fast, 2048), 40e6 / 150.0), -30e3, 2.0);
}

TEST(ChipModelChain, CarriersLandWhereRealSamplingFoldsThem) {
    // Tuned to 100 MHz: the programs write the word for 34 MHz, and the mixer
    // shifts up by it: a carrier at f lands at -f + 34 MHz or +f + 34 MHz
    // (mod 66 MHz), whichever is near 0. The band arrives inverted.
    struct Case {
        double carrier_mhz, expect_khz;
        const char* what;
    };
    const Case cases[] = {
        {100.05, -50.0, "66-132 MHz: -100.05 + 34 = -66.05 = -0.05 MHz"},
        {99.97, 30.0, "below the tuning"},
        {31.95, -50.0, "mirror image: 31.95 + 34 = 65.95 = -0.05 MHz"},
        {32.03, 30.0, "mirror image, other side"},
        {34.04, -40.0, "0-66 MHz"},
        {166.02, -20.0, "132-198 MHz folds onto the others"},
    };
    double amp_ref = 0.0;
    for (const Case& c : cases) {
        auto chip = make_chip(cw_scene(c.carrier_mhz * 1e6, -10));
        configure(*chip, ReferenceChain{}, 100e6);
        const auto x = capture(*chip, 4096);
        EXPECT_NEAR(dominant_frequency(x, kFsOut), c.expect_khz * 1e3, 2.0) << c.what;
        const double amp = std::abs(tone(x, c.expect_khz * 1e3, kFsOut));
        if (amp_ref == 0.0) amp_ref = amp;
        // Same offset from the tuning, same response (within the pass band's droop).
        if (std::fabs(c.expect_khz) == 50.0) {
            EXPECT_NEAR(db(amp / amp_ref), 0.0, 0.05) << c.what;
        }
    }
    // A sample clock 100 ppm fast moves both the folding and the NCO:
    // -100.05 + 34 * 1.0001 + 66.0066 MHz = -40.0 kHz.
    auto chip = make_chip(cw_scene(100.05e6, -10), kClock, 100.0);
    configure(*chip, ReferenceChain{}, 100e6);
    const double fs_out = kClock * 1.0001 / 324.0;
    EXPECT_NEAR(dominant_frequency(capture(*chip, 4096), fs_out), -40.0e3, 2.0);
}

TEST(ChipModelChain, BandIsSpectrallyInvertedAtEveryTuning) {
    // The programs' AFC steers with frequency -= 0.27 * (mean baseband
    // frequency), which converges only if a carrier above the tuning comes
    // out below 0 Hz. Tunings whose word is below and above half a turn,
    // across the FM band and at another clock (none at a multiple of half
    // the clock, where the sum-frequency image falls onto the carrier).
    struct Case {
        double clock_hz, tune_hz;
    };
    const Case cases[] = {{66e6, 100e6}, {66e6, 88e6}, {66e6, 107.9e6},
                          {66e6, 20e6},  {66e6, 50e6}, {40e6, 97.3e6}};
    for (const Case& c : cases) {
        for (double delta : {50e3, -50e3}) {
            auto chip = make_chip(cw_scene(c.tune_hz + delta, -10), c.clock_hz);
            configure(*chip, ReferenceChain{}, c.tune_hz, c.clock_hz);
            const double fs = chip->output_rate_hz(0);
            const auto x = capture(*chip, 4096);
            EXPECT_NEAR(dominant_frequency(x, fs), -delta, 2.0) << c.tune_hz << " " << delta;
            // Nothing at +delta: the band is mirrored, not a mixture of both.
            // (The unwindowed DFT's own leakage reads -70 to -76 dB here.)
            EXPECT_LT(db(std::abs(tone(x, delta, fs)) / std::abs(tone(x, -delta, fs))), -60.0)
                << c.tune_hz << " " << delta;
        }
    }
}

TEST(ChipModelChain, ProgramsAfcConvergesOnTheInvertedBand) {
    // The host's loop: estimate the baseband frequency, retune by -0.27 of
    // it with a new NCO word and the retune command. Each step leaves 0.73
    // of the tuning error; with an upright band it would grow by 1.27.
    const double carrier = 100.0123e6;
    auto chip = make_chip(cw_scene(carrier, -20));
    double tune = 100e6;
    configure(*chip, ReferenceChain{}, tune);
    for (int step = 0; step < 12; ++step) {
        const double df = dominant_frequency(capture(*chip, 2048), kFsOut);
        // Tuned below the carrier, the estimate is negative and the tuning rises.
        EXPECT_NEAR(df, tune - carrier, 1.0) << "step " << step;
        tune -= 0.27 * df;
        const uint32_t w = qv01model::nco_word_for(tune, kClock);
        chip->write_reg(reg_addr(0, qv01::kOffNcoLow), uint16_t(w & 0xFFFF));
        chip->write_reg(reg_addr(0, qv01::kOffNcoHigh), uint16_t(w >> 16));
        chip->write_reg(qv01::kRegControl, qv01::kCmdNcoUpdate);
    }
    EXPECT_LT(std::fabs(tune - carrier), 12.3e3 * std::pow(0.73, 12) + 10.0);
}

TEST(ChipModelChain, SweptResponseMatchesCicAndFirTheory) {
    const ReferenceChain chain;
    const double level = -6.0;
    double worst = 0.0;
    for (double f = -95e3; f <= 95e3; f += 5e3) {
        double expect = 0.0;
        const double got = measured_amplitude(100e6 + f, 100e6, chain, level, -f, &expect, f);
        worst = std::max(worst, std::fabs(db(got / expect)));
        EXPECT_NEAR(db(got / expect), 0.0, 0.5) << "offset " << f;
    }
    std::printf("pass band +-95 kHz: worst deviation from theory %.3f dB\n", worst);
    // A carrier 714.8 kHz above the tuning comes out of the mixer at
    // -714.8 kHz and aliases through the CICN output rate (814.8 kHz) to
    // +100 kHz, attenuated by the CIC response there.
    const double f = 66e6 / 81.0 - 100e3;
    double expect = 0.0;
    const double got = measured_amplitude(100e6 + f, 100e6, chain, 0.0, 100e3, &expect, f);
    const auto h1 = qv01model::design_lowpass_half(chain.fir1_order / 2, chain.fir1_cutoff,
                                                   chain.beta, 32768.0);
    const auto h2 = qv01model::design_lowpass_half(chain.fir2_order / 2, chain.fir2_cutoff,
                                                   chain.beta, 32768.0);
    // The FIRs see the alias at +100 kHz, not at -f.
    expect = expect / fir_theory(h1, f, 66e6 / 81.0) / fir_theory(h2, f, 66e6 / 162.0) *
             fir_theory(h1, 100e3, 66e6 / 81.0) * fir_theory(h2, 100e3, 66e6 / 162.0);
    std::printf("CIC alias at %.1f kHz: measured %.2f, theory %.2f LSB (%.2f dB)\n", f / 1e3, got,
                expect, db(got / expect));
    EXPECT_GT(got, 5.0);
    EXPECT_NEAR(db(got / expect), 0.0, 1.0);
}

// A carrier far outside the channel is left out where the DFIRs keep it
// below 0.001 LSB of output, but never where it would show: at the level
// that gives 0.003 LSB of output (scaled from its measured output at
// -6 dBFS: the chain is linear, the noise keeps the rounding from adding
// tones of its own) it changes the samples.
TEST(ChipModelChain, FarCarriersAreLeftOutOnlyWhereTheyCannotShow) {
    const ReferenceChain chain;
    const double tune = 100e6;
    auto samples = [&](const qv01model::RfScene& sc) {
        auto chip = make_chip(sc);
        configure(*chip, chain, tune);
        return capture(*chip, 8192);
    };
    const qv01model::RfScene base = cw_scene(tune + 20e3, -30.0, -70.0);
    const auto alone = samples(base);
    int measured = 0, left_out = 0;
    for (double f : {-900e3, -420e3, -330e3, -180e3, 150e3, 180e3, 330e3, 900e3}) {
        const double out_hz = -f - kFsOut * std::floor(-f / kFsOut + 0.5);  // inverted, aliased
        const double a = std::abs(tone(samples(cw_scene(tune + f, -6.0, -70.0)), out_hz, kFsOut));
        if (a < 0.1) continue;  // not measurable against the noise
        ++measured;
        for (double target : {3e-3, 3e-6}) {
            qv01model::RfScene sc = base;
            sc.stations.push_back(cw_scene(tune + f, -6.0 + db(target / a)).stations[0]);
            const bool same = samples(sc) == alone;
            if (target > 1e-3)
                EXPECT_FALSE(same) << "left out at " << f << " Hz";
            else
                left_out += same;
        }
    }
    EXPECT_GE(measured, 6);
    EXPECT_GE(left_out, measured - 2);
}

// The ADC noise at the CICN output, seen through single-tap DFIRs: Gaussian,
// white, I and Q alike and independent.
TEST(ChipModelChain, NoiseIsWhiteGaussianInIAndQ) {
    qv01model::RfScene sc = cw_scene(60e6, -200.0, -20.0);
    auto chip = make_chip(sc);
    ReferenceChain chain;
    chain.fir1_order = chain.fir2_order = 0;
    chain.fir1_ratio = chain.fir2_ratio = 1;
    configure(*chip, chain, 100e6);
    const auto x = capture(*chip, 1 << 16);
    const size_t n = x.size();
    double m2[2] = {}, m4[2] = {};
    for (const auto& v : x) {
        const double p[2] = {v.real() * v.real(), v.imag() * v.imag()};
        for (int k = 0; k < 2; ++k) {
            m2[k] += p[k] / double(n);
            m4[k] += p[k] * p[k] / double(n);
        }
    }
    EXPECT_GT(m2[0], 100.0 * 100.0);  // far above the rounding
    EXPECT_NEAR(m2[1] / m2[0], 1.0, 0.03);
    for (int k = 0; k < 2; ++k) EXPECT_NEAR(m4[k] / (m2[k] * m2[k]), 3.0, 0.1) << k;
    // Correlations at lags 0..8 (I with Q) and 1..8 (each with itself),
    // against 1/sqrt(n) = 0.004 for independent samples.
    for (size_t lag = 0; lag <= 8; ++lag) {
        double ii = 0.0, qq = 0.0, iq = 0.0, qi = 0.0;
        for (size_t j = 0; j + lag < n; ++j) {
            ii += x[j].real() * x[j + lag].real();
            qq += x[j].imag() * x[j + lag].imag();
            iq += x[j].real() * x[j + lag].imag();
            qi += x[j].imag() * x[j + lag].real();
        }
        const double norm = double(n) * std::sqrt(m2[0] * m2[1]);
        EXPECT_LT(std::fabs(iq / norm), 0.02) << lag;
        EXPECT_LT(std::fabs(qi / norm), 0.02) << lag;
        if (lag == 0) continue;
        EXPECT_LT(std::fabs(ii / (double(n) * m2[0])), 0.02) << lag;
        EXPECT_LT(std::fabs(qq / (double(n) * m2[1])), 0.02) << lag;
    }
}

TEST(ChipModelChain, StageGainsFollowThePanelFormula) {
    struct Scales {
        int cic2, cicn;
        bool mx;
        int f1, f2;
        int16_t gi;
        int cicn_ratio;
    };
    const Scales cases[] = {
        {10, 5, true, 6, 7, 14000, 27}, {8, 5, true, 6, 7, 16384, 27},
        {10, 4, true, 7, 6, 20000, 27}, {11, 5, true, 5, 8, 9000, 27},
        {10, 4, false, 6, 6, 16384, 8},  // 8^4 * 2^(4 - 16) = 1 without scl_mx
    };
    for (const Scales& s : cases) {
        ReferenceChain c;
        c.cicn_ratio = s.cicn_ratio;
        c.cic2_scale = s.cic2;
        c.cicn_scale = s.cicn;
        c.scl_mx = s.mx;
        c.fir1_scale = s.f1;
        c.fir2_scale = s.f2;
        c.gain_i = s.gi;
        double expect = 0.0;
        const double got = measured_amplitude(100e6 + 2e3, 100e6, c, -20.0, -2e3, &expect, 2e3);
        EXPECT_NEAR(db(got / expect), 0.0, 0.05)
            << "cic2 " << s.cic2 << " cicn " << s.cicn << " mx " << s.mx;
    }
}

TEST(ChipModelChain, AntisymmetricDfirHasCentreTapDcGain) {
    // DFIR2 with bit 14 set, n = 1: taps 8000, 16384, -8000.
    // |H(w)| = |16384 + 2j * 8000 sin w|, DC gain c_n = 16384.
    ReferenceChain c;
    c.fir2_scale = 8;  // 2^(8 - 21) * 16384 = 2 at DC
    for (double f : {1e3, 60e3}) {
        auto chip = make_chip(cw_scene(100e6 + f, -20));
        configure(*chip, c, 100e6);
        chip->write_reg(reg_addr(0, qv01::kOffDfir2Ctl), 0x4000 | (2 << 8) | 1);
        chip->write_reg(reg_addr(0, qv01::kOffDfir2Bank), 8000);
        chip->write_reg(reg_addr(0, qv01::kOffDfir2Bank + 2), 16384);
        chip->write_reg(qv01::kRegControl, qv01::kCmdStart);
        const auto h1 =
            qv01model::design_lowpass_half(c.fir1_order / 2, c.fir1_cutoff, c.beta, 32768.0);
        const double fs2 = kClock / 162.0;
        const double w = 2.0 * M_PI * f / fs2;
        const double h2 = std::abs(std::complex<double>(16384.0, 16000.0 * std::sin(w))) / 16384.0;
        const double expect = kFs * 0.1 * std::pow(10.0, qv01model::panel_kp_db(*chip, 0) / 20.0) *
                              cic_theory(f, 3, 2, 27, 4) * fir_theory(h1, f, kClock / 81.0) * h2;
        const double got = std::abs(tone(capture(*chip, 8192), -f, kFsOut));  // inverted band
        EXPECT_NEAR(db(got / expect), 0.0, 0.1) << f;
    }
}

TEST(ChipModelChain, GainStageRotatesByItsPhase) {
    const double f = -10e3;  // the carrier is 10 kHz above the tuning
    auto chip = make_chip(cw_scene(100e6 - f, -20));
    ReferenceChain c;
    c.gain_i = 16384;
    configure(*chip, c, 100e6);
    const auto before = tone(capture(*chip, 4096), f, kFsOut);
    // As the Filters panel writes it: g cos(phi), g sin(phi), then 5 to the control register.
    const double phi = 60.0 * M_PI / 180.0;
    chip->write_reg(reg_addr(0, qv01::kOffGainI),
                    uint16_t(int16_t(std::trunc(std::cos(phi) * 16384))));
    chip->write_reg(reg_addr(0, qv01::kOffGainQ),
                    uint16_t(int16_t(std::trunc(std::sin(phi) * 16384))));
    // Not yet taken: the next block continues the unrotated tone.
    const auto pending = tone(capture(*chip, 4096, 0), f, kFsOut);
    chip->write_reg(qv01::kRegControl, qv01::kCmdGainUpdate);
    const auto after = tone(capture(*chip, 4096, 0), f, kFsOut);
    // Compare at equal time: each capture of 4096 frames advances the tone by 4096 f / fs.
    const std::complex<double> step = std::polar(1.0, 2.0 * M_PI * f / kFsOut * 4096.0);
    EXPECT_NEAR(std::abs(pending / (before * step) - 1.0), 0.0, 2e-3);
    const std::complex<double> rot = after / (pending * step);
    EXPECT_NEAR(std::abs(rot), 1.0, 2e-3);
    EXPECT_NEAR(std::arg(rot) * 180.0 / M_PI, 60.0, 0.2);
}

TEST(ChipModelChain, NcoWordActsOnRetuneCommandOnly) {
    auto chip = make_chip(cw_scene(100.02e6, -20));
    configure(*chip, ReferenceChain{}, 100e6);
    EXPECT_NEAR(dominant_frequency(capture(*chip, 2048), kFsOut), -20e3, 2.0);
    const uint32_t w = qv01model::nco_word_for(100.05e6, kClock);
    chip->write_reg(reg_addr(0, qv01::kOffNcoLow), uint16_t(w & 0xFFFF));
    chip->write_reg(reg_addr(0, qv01::kOffNcoHigh), uint16_t(w >> 16));
    EXPECT_NEAR(dominant_frequency(capture(*chip, 2048), kFsOut), -20e3, 2.0);
    chip->write_reg(qv01::kRegControl, qv01::kCmdNcoUpdate);
    EXPECT_NEAR(dominant_frequency(capture(*chip, 2048), kFsOut), 30e3, 2.0);
    // Ratios written while running wait for the next start.
    chip->write_reg(reg_addr(0, qv01::kOffDfir2Ctl), (62 << 8) | 3);
    EXPECT_NEAR(chip->output_rate_hz(0), kFsOut, 1e-6);
    chip->write_reg(qv01::kRegControl, qv01::kCmdStart);
    EXPECT_NEAR(chip->output_rate_hz(0), kFsOut / 2.0, 1e-6);
}

TEST(ChipModelChain, ScaleFieldsActWhileRunning) {
    auto chip = make_chip(cw_scene(100.002e6, -20));
    configure(*chip, ReferenceChain{}, 100e6);
    const double a = std::abs(tone(capture(*chip, 4096), 2e3, kFsOut));
    // Filters panel: read-modify-write of the DFIR1 scale, one step up doubles the output.
    const int addr = reg_addr(0, qv01::kOffDfir1Scl);
    chip->write_reg(addr, uint16_t((chip->read_reg(addr) & ~0xF) | 7));
    const double b = std::abs(tone(capture(*chip, 4096), 2e3, kFsOut));
    EXPECT_NEAR(db(b / a), 6.02, 0.05);
}

TEST(ChipModelChain, CarrierOffsetDriftAndNcoPhase) {
    // 1.5 kHz offset drifting by +4 kHz/s: the carrier 1.5 kHz above the
    // tuning at the start, 3.5 kHz half a second later; inverted, they read
    // -1.5 and -3.5 kHz.
    qv01model::RfScene sc = cw_scene(100.02e6, -20);
    sc.stations[0].offset_hz = 1500.0;
    sc.stations[0].drift_hz_per_s = 4000.0;
    auto chip = make_chip(sc);
    configure(*chip, ReferenceChain{}, 100.02e6);
    EXPECT_NEAR(dominant_frequency(capture(*chip, 1024, 0), kFsOut), -1.5e3, 30.0);
    capture(*chip, size_t(0.5 * kFsOut) - 2048, 0);
    EXPECT_NEAR(dominant_frequency(capture(*chip, 1024, 0), kFsOut), -3.5e3, 30.0);

    // The NCO phase register, taken by the sync command, turns the output
    // forward by the same angle (the mixer multiplies by exp(+j phase)).
    auto a = make_chip(cw_scene(100.01e6, -20));
    auto b = make_chip(cw_scene(100.01e6, -20));
    configure(*a, ReferenceChain{}, 100e6);
    configure(*b, ReferenceChain{}, 100e6);
    b->write_reg(reg_addr(0, qv01::kOffNcoPhase), 0x2000);  // 45 degrees
    b->write_reg(qv01::kRegControl, qv01::kCmdNcoSync);
    const auto ta = tone(capture(*a, 2048), -10e3, kFsOut),
               tb = tone(capture(*b, 2048), -10e3, kFsOut);
    EXPECT_NEAR(std::arg(tb / ta) * 180.0 / M_PI, 45.0, 0.2);
}
