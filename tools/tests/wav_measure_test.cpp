// The measuring tool must be right before it can judge a program's audio.
#include "wav_measure.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <random>
#include <string>

#include "wav_measure_scene.h"

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
    EXPECT_NEAR(r.tone_dbfs, -6.02, 0.1);
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
    EXPECT_LT(one.snr_db, 3.0);    // the other tone counts as noise
    EXPECT_GT(both.snr_db, 60.0);  // only rounding noise is left
}

// A chord: the sample peak lies above the RMS level, each tone's own level
// below both.
TEST(WavMeasure, PeakIsTheSamplePeak) {
    Pcm p = make_recording(261.63, 6000.0, 0.0, 3.0);
    for (double f : {329.63, 392.0}) {
        const Pcm other = make_recording(f, 6000.0, 0.0, 3.0);
        for (size_t i = 0; i < p.samples.size(); ++i)
            p.samples[i] = static_cast<int16_t>(p.samples[i] + other.samples[i]);
    }
    int peak = 0;
    for (size_t i = 0; i < p.samples.size(); i += 2)
        peak = std::max(peak, std::abs(int(p.samples[i])));
    ToneReport r;
    ASSERT_EQ(qvtools::measure_tone(p, 0, {261.63, 329.63, 392.0}, 0.3, r), 0);
    EXPECT_GT(r.peak_dbfs, r.rms_dbfs);
    EXPECT_NEAR(r.peak_dbfs, 20 * std::log10(peak / 32767.0), 0.05);
    EXPECT_NEAR(r.rms_dbfs, 20 * std::log10(6000.0 / 32767.0) - 3.01 + 4.77, 0.1);
    EXPECT_NEAR(r.tone_dbfs, 20 * std::log10(6000.0 / 32767.0), 0.1);
}

// Noise first, then the chord: the search finds where the chord starts, and
// only the chord's own tones count.
TEST(WavMeasure, FindsWhereTheTonesStart) {
    Pcm p = make_recording(440.0, 8000.0, 0.0, 4.0);
    const Pcm fifth = make_recording(659.26, 8000.0, 0.0, 4.0);
    std::mt19937 rng(3);
    std::normal_distribution<double> g(0.0, 3000.0);
    for (size_t i = 0; i < p.samples.size(); i += 2) {
        const bool chord = i / 2 >= size_t(3 * 44100);  // 1 s silence, 2 s noise, then the chord
        const double v = chord ? p.samples[i] + fifth.samples[i] : (i / 2 >= 44100 ? g(rng) : 0.0);
        p.samples[i] = static_cast<int16_t>(std::lround(v));
    }
    ToneReport r;
    ASSERT_EQ(qvtools::find_tones(p, 0, {440.0, 659.26}, 1.0, 0.01, 30.0, r), 0);
    EXPECT_GE(r.start_s, 3.0 - 0.25);
    EXPECT_LE(r.start_s, 3.0);
    EXPECT_GT(r.snr_db, 30.0);
    EXPECT_TRUE(qvtools::tones_present(r, {440.0, 659.26}, 0.01, 30.0));
    EXPECT_FALSE(qvtools::tones_present(r, {261.63, 392.0}, 0.01, 30.0));
    // Another station's tones are not found; the closest stretch is reported.
    ASSERT_EQ(qvtools::find_tones(p, 0, {261.63, 392.0}, 1.0, 0.01, 10.0, r), -61);
    EXPECT_LT(r.snr_db, 10.0);
    const Pcm silent = make_recording(440.0, 0.0, 0.0, 2.0);
    EXPECT_EQ(qvtools::find_tones(silent, 0, {440.0}, 1.0, 0.01, 10.0, r), -62);
    EXPECT_EQ(qvtools::find_tones(p, 0, {440.0}, 0.1, 0.01, 10.0, r), -22);  // below one segment
}

// A recording still being written: whole frames only.
TEST(WavMeasure, ReadsRawPcmUpToTheLastWholeFrame) {
    const std::string path = ::testing::TempDir() + "wav_measure_test.raw";
    FILE* f = std::fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    const unsigned char bytes[] = {0x01, 0x00, 0xFF, 0xFF, 0x00, 0x80, 0xFF, 0x7F, 0x12};
    std::fwrite(bytes, 1, sizeof bytes, f);
    std::fclose(f);
    Pcm p;
    ASSERT_EQ(qvtools::read_raw(path, 44100, 2, p), 0);
    EXPECT_EQ(p.rate_hz, 44100);
    EXPECT_EQ(p.channels, 2);
    EXPECT_EQ(p.samples, (std::vector<int16_t>{1, -1, -32768, 32767}));
    EXPECT_EQ(qvtools::read_raw(path, 44100, 0, p), -22);
    EXPECT_EQ(qvtools::read_raw(path + ".missing", 44100, 2, p), -2);
    std::remove(path.c_str());
}

TEST(WavMeasure, ReadsWhatSoxWrites) {
    const std::string path = ::testing::TempDir() + "wav_measure_test.wav";
    const std::string cmd =
        "sox -q -n -r 44100 -c 2 -b 16 " + path + " synth 2 sine 1234 vol 0.25 2>/dev/null";
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
    EXPECT_NEAR(r.tone_dbfs, 20 * std::log10(0.25), 0.2);
    EXPECT_EQ(qvtools::read_wav(path + ".missing", p), -2);
    std::remove(path.c_str());
}

// The tones a check expects come from the scene the board plays.
TEST(StationTones, FromTheSceneTheBoardPlays) {
    using qvtools::StationTones;
    StationTones st;
    std::string error;
    ASSERT_EQ(qvtools::station_tones("", 103.5, st, error), 0) << error;  // built-in scene
    EXPECT_EQ(st.name, "STEREO");
    EXPECT_EQ(st.tones_hz, (std::vector<double>{392.0, 587.33}));  // left and right: a mono sum
    ASSERT_EQ(qvtools::station_tones("", 105.7, st, error), 0) << error;
    EXPECT_EQ(st.tones_hz,
              (std::vector<double>{523.25, 587.33, 659.26}));  // melody without its rest
    const std::string file =
        std::string(QV_SOURCE_ROOT) + "/virtual_board/model/scenes/default_scene.ini";
    StationTones from_file;
    ASSERT_EQ(qvtools::station_tones(file, 105.7, from_file, error), 0) << error;
    EXPECT_EQ(from_file.tones_hz, st.tones_hz);
    const std::string td = std::string(QV_SOURCE_ROOT) + "/run/tunerdesk/scene_40mhz.ini";
    ASSERT_EQ(qvtools::station_tones(td, 103.7, st, error), 0) << error;
    EXPECT_EQ(st.name, "C_MAJOR_TRIAD");
    EXPECT_EQ(st.tones_hz, (std::vector<double>{261.63, 329.63, 392.0}));
    EXPECT_FALSE(st.has_wav);

    EXPECT_EQ(qvtools::station_tones(td, 103.5, st, error), -ESRCH);  // 0.2 MHz from 103.7
    EXPECT_NE(error.find("103.5"), std::string::npos) << error;
    EXPECT_LT(qvtools::station_tones(td + ".missing", 103.7, st, error), 0);
    EXPECT_NE(error.find("scene_40mhz.ini.missing"), std::string::npos) << error;
}

}  // namespace
