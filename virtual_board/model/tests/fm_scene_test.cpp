// The default scene through the chain and an independent FM receiver: every
// station's audio comes back clean, and the 200 kHz neighbours stay apart.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>

#include "model_test_util.h"

using namespace qv01test;
using qv01model::RfScene;
using qv01model::Side;
using qv01model::StationSpec;

namespace {

constexpr size_t kSkip = 512;

struct Reception {
    double snr_db = 0.0;
    double worst_amp_error = 0.0;  // relative, over all fitted tones
};

// Receives `st` (one of `scene`'s stations) and compares its mono audio
// with what the station sends.
Reception receive(const RfScene& scene, const StationSpec& st, double seconds) {
    auto chip = make_chip(scene);
    configure(*chip, qv01model::ReferenceChain{}, st.freq_hz);
    const double fs = chip->output_rate_hz(0);
    const auto x = capture(*chip, size_t(seconds * fs), kSkip);
    const auto audio = fm_receive(x, fs);
    const double fa = fs / 4.0;
    // Time of audio sample j from the start command (low-pass centre tap).
    auto time_of = [&](size_t j) { return (double(kSkip) + 401.0 + 4.0 * double(j) - 200.0) / fs; };
    const double share = (st.pilot || st.stereo) ? 0.9 : 1.0;
    double sig = 0.0, res = 0.0;
    Reception r;
    auto check = [&](size_t b, size_t e, const std::vector<double>& f,
                     const std::vector<double>& want) {
        const auto amp = fit_tones(audio, b, e, fa, f, &sig, &res);
        for (size_t k = 0; k < f.size(); ++k)
            r.worst_amp_error = std::max(r.worst_amp_error, std::fabs(amp[k] / want[k] - 1.0));
    };
    if (!st.audio.tones.empty()) {
        std::vector<double> f, want;
        for (const auto& t : st.audio.tones) {
            f.push_back(t.freq_hz);
            want.push_back((t.side == Side::Both ? 1.0 : 0.5) * t.level * share * st.deviation_hz);
        }
        check(size_t(0.01 * fa), audio.size(), f, want);
    } else {
        // One window per note, clear of the 10 ms attack and release.
        const double note_s = st.audio.note_ms * 1e-3;
        for (size_t n = 0;; ++n) {
            const double f = st.audio.melody_hz[n % st.audio.melody_hz.size()];
            const double t0 = n * note_s + 0.025, t1 = (n + 1) * note_s - 0.025;
            if (time_of(audio.size() - 1) < t1) break;
            if (f == 0.0) continue;
            size_t b = 0;
            while (time_of(b) < t0) ++b;
            size_t e = b;
            while (time_of(e) < t1) ++e;
            check(b, e, {f}, {st.audio.melody_level * share * st.deviation_hz});
        }
    }
    r.snr_db = 10.0 * std::log10(sig / res);
    return r;
}

double output_power(const RfScene& scene, double tune_hz) {
    auto chip = make_chip(scene);
    configure(*chip, qv01model::ReferenceChain{}, tune_hz);
    const auto x = capture(*chip, 40000, kSkip);
    double p = 0.0;
    for (const auto& v : x) p += std::norm(v);
    return p / double(x.size());
}

}  // namespace

TEST(ChipModelScene, DefaultStationsDemodulateWithAtLeast40dBSnr) {
    const RfScene scene = qv01model::default_scene();
    ASSERT_EQ(scene.stations.size(), 6u);
    const double mhz[] = {100.9, 101.2, 103.5, 103.7, 105.7, 106.2};
    for (size_t k = 0; k < 6; ++k) {
        const StationSpec& st = scene.stations[k];
        EXPECT_NEAR(st.freq_hz, mhz[k] * 1e6, 1.0);
        EXPECT_LE(st.level_dbfs, -15.0);
        EXPECT_GE(st.level_dbfs, -45.0);
        // Long enough for two windows of the slowest melody.
        const Reception r = receive(
            scene, st, st.audio.tones.empty() ? 2.2 * st.audio.note_ms * 1e-3 + 0.06 : 0.25);
        std::printf("%-10s %6.1f MHz %6.1f dBFS: audio SNR %.1f dB, tone level error %.4f %%\n",
                    st.name.c_str(), st.freq_hz / 1e6, st.level_dbfs, r.snr_db,
                    100.0 * r.worst_amp_error);
        EXPECT_GE(r.snr_db, 40.0) << st.name;
        EXPECT_LT(r.worst_amp_error, 0.03) << st.name;
    }
    // Exactly one station carries pilot and stereo subcarrier.
    int stereo = 0;
    for (const auto& st : scene.stations) stereo += st.pilot && st.stereo;
    EXPECT_EQ(stereo, 1);
}

TEST(ChipModelScene, InvertedBandDemodulatesToNegatedDeviation) {
    // A station 3 kHz above its nominal frequency, one 100 Hz tone at half
    // the deviation, received at the nominal frequency. The channel mirrors
    // the band, so the plain discriminator reads -3 kHz and negated audio;
    // the tests' receiver works on the conjugate and must get both back
    // upright: +3 kHz of DC and the tone in the phase the station sends.
    RfScene sc;
    sc.noise_dbfs = -80.0;
    StationSpec st;
    st.name = "TONE";
    st.freq_hz = 101.7e6;
    st.offset_hz = 3000.0;
    st.level_dbfs = -20.0;
    st.audio.tones.push_back({100.0, 0.5, Side::Both});
    sc.stations.push_back(st);
    auto chip = make_chip(sc);
    const qv01model::ReferenceChain chain;
    configure(*chip, chain, st.freq_hz);
    const double fs = chip->output_rate_hz(0);
    const auto x = capture(*chip, size_t(0.25 * fs), kSkip);
    const auto audio = fm_receive(x, fs);
    double sig = 0.0, res = 0.0, dc = 0.0;
    std::vector<double> phase;
    const double fa = fs / 4.0;
    const auto amp = fit_tones(audio, 0, audio.size(), fa, {100.0}, &sig, &res, &phase, &dc);
    EXPECT_NEAR(dc, 3000.0, 5.0);
    EXPECT_NEAR(amp[0], 0.5 * st.deviation_hz, 0.005 * 0.5 * st.deviation_hz);
    // Audio sample 0 stands for output frame kSkip + 201 minus the delay of
    // DFIR1 (11 taps at 814.8 kHz) and DFIR2 (31 taps at 407.4 kHz) and half
    // a frame of the discriminator; the station's tone (pre-emphasis lead
    // undone by the de-emphasis) starts at phase 0 at the start command.
    const double fs1 = kClock / (chain.cic2_ratio * chain.cicn_ratio);
    const double delay_s =
        (chain.fir1_order / 2) / fs1 + (chain.fir2_order / 2) / (fs1 / chain.fir1_ratio) + 0.5 / fs;
    const double t0 = (double(kSkip) + 201.0) / fs - delay_s;
    const double want = 2.0 * M_PI * 100.0 * t0;
    const double err_deg = std::remainder(phase[0] - want, 2.0 * M_PI) * 180.0 / M_PI;
    std::printf("100 Hz tone: phase error %.2f deg, DC %.2f Hz\n", err_deg, dc);
    EXPECT_NEAR(err_deg, 0.0, 1.0);
}

TEST(ChipModelScene, AdjacentStationsAreKeptApart) {
    // Filter rejection proper: an unmodulated carrier 200 kHz either side.
    for (double off : {200e3, -200e3}) {
        const RfScene cw = cw_scene(103.5e6 + off, -20.0);
        const double rejection =
            10.0 * std::log10(output_power(cw, 103.5e6 + off) / output_power(cw, 103.5e6));
        std::printf("carrier %+.0f kHz from the tuning: rejected by %.1f dB\n", off / 1e3,
                    rejection);
        EXPECT_GT(rejection, 60.0);
    }
    // The modulated neighbours: what is left includes the part of each FM
    // spectrum that reaches into the other channel.
    const RfScene scene = qv01model::default_scene();
    for (size_t own : {size_t(2), size_t(3)}) {
        RfScene alone;
        alone.noise_dbfs = -200.0;
        alone.stations.push_back(scene.stations[own]);
        const double other_hz = scene.stations[own == 2 ? 3 : 2].freq_hz;
        const double rejection = 10.0 * std::log10(output_power(alone, alone.stations[0].freq_hz) /
                                                   output_power(alone, other_hz));
        std::printf("%s (%.1f MHz, modulated) seen from %.1f MHz: %.1f dB below its own channel\n",
                    alone.stations[0].name.c_str(), alone.stations[0].freq_hz / 1e6, other_hz / 1e6,
                    rejection);
        EXPECT_GT(rejection, 40.0);
    }
}
