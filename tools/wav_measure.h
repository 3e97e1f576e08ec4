// Measures a recorded tone: where the audio is, its dominant frequency, its
// level and its signal-to-noise ratio. Used by the headless runs and the
// end-to-end tests to check what a program actually played.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace qvtools {

struct Pcm {
    int rate_hz = 0;
    int channels = 0;
    std::vector<int16_t> samples;  // interleaved
};

// Reads a 16-bit PCM WAV file. 0 on success, -2 when it cannot be opened,
// -22 when it is not 16-bit PCM WAV.
int read_wav(const std::string& path, Pcm& out);

struct ToneReport {
    double start_s = 0.0;       // measured stretch, seconds from the file's start
    double seconds = 0.0;       // its length
    double frequency_hz = 0.0;  // strongest component between 50 Hz and 15 kHz
    double rms_dbfs = -200.0;   // RMS level, 0 dB = a full-scale square wave
    double peak_dbfs = -200.0;  // level of the strongest component as a sine, 0 dB = full scale
    double snr_db = 0.0;        // tones' power against everything else from 50 Hz to 15 kHz
};

// Measures `channel` of `pcm`. The stretch with audio is found by a level
// gate (leading and trailing silence, and `margin_s` at both of its ends, are
// left out). `tones_hz` lists the signal's components; empty means the
// strongest component alone. Returns 0, or -61 when there is no audio.
int measure_tone(const Pcm& pcm, int channel, const std::vector<double>& tones_hz, double margin_s,
                 ToneReport& out);

}  // namespace qvtools
