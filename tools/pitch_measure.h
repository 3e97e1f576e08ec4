// Pitch of a steady tone over time in a recording: per window the measured
// frequency of the tone nearest to the one expected and its error against it.
// The headless runs use it to see whether the rate matching keeps the pitch.
#pragma once

#include <vector>

#include "wav_measure.h"

namespace qvtools {

struct PitchWindow {
    double start_s = 0.0;        // window start, seconds from the first frame given
    double frequency_hz = 0.0;   // measured tone frequency (0 when no tone)
    double error_ppm = 0.0;      // (frequency / expected - 1) * 1e6
    double level_dbfs = -200.0;  // RMS level of the window, 0 dB = a full-scale square wave
    bool tone = false;           // the tone holds most of the window's power
};

struct PitchSummary {
    int windows = 0;              // windows with the tone after the skip
    int gaps = 0;                 // windows without the tone after the skip
    double first_tone_s = -1.0;   // start of the first window with the tone
    double median_abs_ppm = 0.0;  // median of |error| over the counted windows
    double max_abs_ppm = 0.0;     // largest |error| over the counted windows
    double mean_ppm = 0.0;        // mean signed error over the counted windows
};

// Measures `channel` of `pcm` in consecutive windows of `window_s` seconds.
// The tone is searched within +-20 % of `expect_hz`; a window counts as
// carrying it when the tone's band (+-3 % around the peak) holds at least
// half of the window's power and the level is above -60 dBFS. Returns 0, or
// -22 for a bad channel, rate, window or expected frequency.
int measure_pitch(const Pcm& pcm, int channel, double expect_hz, double window_s,
                  std::vector<PitchWindow>& out);

// Summary over the windows that start at least `skip_s` after the first
// window with the tone. Windows before the first tone are not counted at all.
PitchSummary summarise_pitch(const std::vector<PitchWindow>& windows, double skip_s);

}  // namespace qvtools
