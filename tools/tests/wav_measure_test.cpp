// The measuring tool must be right before it can judge a program's audio.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <random>
#include <string>

#include "wav_measure.h"

namespace {

using qvtools::Pcm;
using qvtools::ToneReport;

// 1 s silence, `seconds` of a tone (plus optional noise) on the left channel, 1 s silence.
Pcm make_recording(double freq, double amp, double noise_rms, double seconds) {
    Pcm p;
    p.rate_hz = 44100;
    p.channels = 2;
    const size_t n = static_cast<size_t>((seconds + 2) * p.rate_hz);
    p.samples.assign(2 * n, 0);
    std::mt19937 rng(7);
    std::normal_distribution<double> g(0.0, noise_rms);
    for (size_t i = 44100; i < n - 44100; ++i) {
        const double v = amp * std::sin(2 * M_PI * freq * i / p.rate_hz) + g(rng);
        p.samples[2 * i] = static_cast<int16_t>(std::lround(v));
    }
    return p;
}

TEST(WavMeasure, FindsToneFrequencyLevelAndSnr) {
    // -6.02 dBFS tone with noise 40 dB below it (in the whole band: ~41.7 dB within 50 Hz..15 kHz).
    const double amp = 32767.0 / 2;
    const double noise = amp / std::sqrt(2.0) / 100.0;
    const Pcm p = make_recording(1000.0, amp, noise, 4.0);
    ToneReport r;
    ASSERT_EQ(qvtools::measure_tone(p, 0, {}, 0.3, r), 0);
    EXPECT_NEAR(r.frequency_hz, 1000.0, 0.5);
    EXPECT_NEAR(r.peak_dbfs, -6.02, 0.1);
    EXPECT_NEAR(r.rms_dbfs, -9.03, 0.1);
    EXPECT_NEAR(r.snr_db, 40.0 + 10 * std::log10(22050.0 / (15000.0 - 50.0)), 1.0);
    EXPECT_NEAR(r.start_s, 1.3, 0.02);
    EXPECT_NEAR(r.seconds, 3.4, 0.02);
}

TEST(WavMeasure, SilentChannelAndTooShortAudioAreNotMeasured) {
    const Pcm p = make_recording(440.0, 10000.0, 0.0, 3.0);
    ToneReport r;
    EXPECT_EQ(qvtools::measure_tone(p, 1, {}, 0.3, r), -61);
    const Pcm short_one = make_recording(440.0, 10000.0, 0.0, 0.2);
    EXPECT_EQ(qvtools::measure_tone(short_one, 0, {}, 0.0, r), -61);
    EXPECT_EQ(qvtools::measure_tone(p, 2, {}, 0.3, r), -22);
}

TEST(WavMeasure, ListedTonesAllCountAsSignal) {
    Pcm p = make_recording(440.0, 8000.0, 0.0, 3.0);
    const Pcm second = make_recording(660.0, 8000.0, 0.0, 3.0);
    for (size_t i = 0; i < p.samples.size(); ++i)
        p.samples[i] = static_cast<int16_t>(p.samples[i] + second.samples[i]);
    ToneReport one, both;
    ASSERT_EQ(qvtools::measure_tone(p, 0, {}, 0.3, one), 0);
    ASSERT_EQ(qvtools::measure_tone(p, 0, {440.0, 660.0}, 0.3, both), 0);
    EXPECT_LT(one.snr_db, 3.0);   // the other tone counts as noise
    EXPECT_GT(both.snr_db, 60.0);  // only rounding noise is left
}

TEST(WavMeasure, ReadsWhatSoxWrites) {
    const std::string path = ::testing::TempDir() + "wav_measure_test.wav";
    const std::string cmd = "sox -q -n -r 44100 -c 2 -b 16 " + path + " synth 2 sine 1234 vol 0.25 2>/dev/null";
    if (std::system(cmd.c_str()) != 0) GTEST_SKIP() << "sox is not installed";
    Pcm p;
    ASSERT_EQ(qvtools::read_wav(path, p), 0);
    EXPECT_EQ(p.rate_hz, 44100);
    EXPECT_EQ(p.channels, 2);
    EXPECT_EQ(p.samples.size(), 2u * 88200u);
    ToneReport r;
    ASSERT_EQ(qvtools::measure_tone(p, 1, {}, 0.1, r), 0);
    EXPECT_NEAR(r.frequency_hz, 1234.0, 0.5);
    EXPECT_NEAR(r.peak_dbfs, 20 * std::log10(0.25), 0.2);
    EXPECT_EQ(qvtools::read_wav(path + ".missing", p), -2);
    std::remove(path.c_str());
}

}  // namespace
