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

// Reads headerless signed 16-bit little-endian PCM of `channels` channels at
// `rate_hz`, as a recorder writes it. A file that is still growing may end in
// a partial frame: that is left out. 0 on success, -2 when it cannot be
// opened, -22 for a rate or channel count below 1.
int read_raw(const std::string& path, int rate_hz, int channels, Pcm& out);

struct ToneReport {
    double start_s = 0.0;       // measured stretch, seconds from the file's start
    double seconds = 0.0;       // its length
    double frequency_hz = 0.0;  // strongest component between 50 Hz and 15 kHz
    double rms_dbfs = -200.0;   // RMS level, 0 dB = a full-scale square wave
    double peak_dbfs = -200.0;  // largest sample magnitude, 0 dB = full scale (>= rms_dbfs)
    double tone_dbfs = -200.0;  // level of the strongest component as a sine, 0 dB = full scale
    double snr_db = 0.0;        // tones' power against everything else from 50 Hz to 15 kHz
};

// Measures `channel` of `pcm`. The stretch with audio is found by a level
// gate (leading and trailing silence, and `margin_s` at both of its ends, are
// left out). `tones_hz` lists the signal's components; empty means the
// strongest component alone. Returns 0, or -61 when there is no audio.
int measure_tone(const Pcm& pcm, int channel, const std::vector<double>& tones_hz, double margin_s,
                 ToneReport& out);

// Whether a measured stretch plays the listed tones: its strongest component
// lies within `tolerance` (a fraction, 0.01 = 1 %) of one of them and the
// tones stand `min_snr_db` above everything else. False for an empty list.
bool tones_present(const ToneReport& r, const std::vector<double>& tones_hz, double tolerance,
                   double min_snr_db);

// Looks for the first stretch of `window_s` seconds of `channel`, stepping a
// quarter window from the start of `pcm`, that plays `tones_hz` as
// tones_present says. Returns 0 with that stretch's report (start_s counted
// from the start of `pcm`); otherwise -61 with the report of the stretch with
// audio that came closest (the highest SNR), or -62 when no stretch held
// audio at all (`out` untouched). -22 for a bad channel, rate or window.
int find_tones(const Pcm& pcm, int channel, const std::vector<double>& tones_hz, double window_s,
               double tolerance, double min_snr_db, ToneReport& out);

}  // namespace qvtools
