// The pitch tool must resolve errors far below the 0.1 % it is used to judge.
#include "pitch_measure.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

namespace {

using qvtools::Pcm;
using qvtools::PitchWindow;

// Left channel: 1 s of silence, then a phase-continuous tone whose frequency
// holds each of `steps_hz` for one second, with a second steady tone and
// noise 50 dB below it.
Pcm tone_steps(const std::vector<double>& steps_hz, double second_hz) {
    Pcm p;
    p.rate_hz = 44100;
    p.channels = 2;
    p.samples.assign(2 * 44100 * (steps_hz.size() + 1), 0);
    std::mt19937 rng(3);
    std::normal_distribution<double> noise(0.0, 25.0);
    double phase = 0.0;
    size_t i = 44100;
    for (double f : steps_hz)
        for (int k = 0; k < 44100; ++k, ++i) {
            phase += 2 * M_PI * f / 44100;
            const double v = 8000 * std::sin(phase) +
                             6000 * std::sin(2 * M_PI * second_hz * i / 44100) + noise(rng);
            p.samples[2 * i] = static_cast<int16_t>(std::lround(v));
        }
    return p;
}

TEST(PitchMeasure, FollowsFrequencyStepsToAFewPpm) {
    const std::vector<double> errors_ppm{0, 0, 1000, -3000, 250, 70000, 0};
    std::vector<double> steps;
    for (double e : errors_ppm) steps.push_back(440.0 * (1 + e * 1e-6));
    const Pcm p = tone_steps(steps, 659.26);
    std::vector<PitchWindow> w;
    ASSERT_EQ(qvtools::measure_pitch(p, 0, 440.0, 1.0, w), 0);
    ASSERT_EQ(w.size(), errors_ppm.size() + 1);
    EXPECT_FALSE(w[0].tone);  // the leading silence
    for (size_t k = 0; k < errors_ppm.size(); ++k) {
        ASSERT_TRUE(w[k + 1].tone) << k;
        EXPECT_NEAR(w[k + 1].start_s, k + 1.0, 1e-9);
        EXPECT_NEAR(w[k + 1].error_ppm, errors_ppm[k], 5.0) << k;
    }
    // Counted from 2 s after the first tone: 1000, -3000, 250, 70000, 0 ppm.
    const qvtools::PitchSummary s = qvtools::summarise_pitch(w, 2.0);
    EXPECT_EQ(s.windows, 5);
    EXPECT_EQ(s.gaps, 0);
    EXPECT_NEAR(s.first_tone_s, 1.0, 1e-9);
    EXPECT_NEAR(s.median_abs_ppm, 1000.0, 5.0);
    EXPECT_NEAR(s.max_abs_ppm, 70000.0, 5.0);
    EXPECT_NEAR(s.mean_ppm, (1000 - 3000 + 250 + 70000) / 5.0, 5.0);
}

TEST(PitchMeasure, WindowsWithoutTheToneAreGaps) {
    // A tone 30 % off (another station) and a silent channel carry no tone;
    // quarter-second windows, and a bad channel is refused.
    const Pcm p = tone_steps({572.0, 572.0}, 1500.0);
    std::vector<PitchWindow> w;
    ASSERT_EQ(qvtools::measure_pitch(p, 0, 440.0, 0.25, w), 0);
    ASSERT_EQ(w.size(), 12u);
    for (const PitchWindow& x : w) EXPECT_FALSE(x.tone) << x.start_s;
    const qvtools::PitchSummary s = qvtools::summarise_pitch(w, 0.0);
    EXPECT_EQ(s.windows, 0);
    EXPECT_LT(s.first_tone_s, 0.0);
    ASSERT_EQ(qvtools::measure_pitch(p, 1, 572.0, 0.25, w), 0);
    for (const PitchWindow& x : w) EXPECT_FALSE(x.tone);
    EXPECT_EQ(qvtools::measure_pitch(p, 2, 440.0, 1.0, w), -22);
}

}  // namespace
