// The RF scene in front of the virtual board's ADC: FM broadcast stations and
// a noise floor. Frequencies are true RF frequencies in Hz; the ADC folds them.
#pragma once

#include <memory>
#include <string>
#include <vector>

namespace qv01model {

// 16-bit PCM audio, already converted to floats in -1..1, per side.
struct WavData {
    double rate_hz = 0.0;
    std::vector<float> left;
    std::vector<float> right;  // equal to left for mono files
};

// Loads a RIFF/WAVE file with 16-bit PCM samples, mono or stereo.
// Returns 0, or -2 when the file cannot be opened, -22 when it is not such a
// file; `error` then names the file and the problem.
int load_wav(const std::string& path, WavData& out, std::string& error);

enum class Side { Both, Left, Right };

struct ToneSpec {
    double freq_hz = 1000.0;
    double level = 0.3;  // fraction of the station's peak deviation (before pre-emphasis)
    Side side = Side::Both;
};

// What a station modulates: the sum of its steady tones, its melody and its
// WAV file; empty lists and no file mean silence.
struct AudioSpec {
    std::vector<ToneSpec> tones;
    std::vector<double> melody_hz;  // one note after the other, looped; 0 is a rest
    double note_ms = 300.0;
    double melody_level = 0.3;
    std::string wav_path;           // as written in the scene (for messages)
    std::shared_ptr<const WavData> wav;
    double wav_level = 0.8;
};

struct StationSpec {
    std::string name;
    double freq_hz = 100.0e6;
    double level_dbfs = -30.0;      // carrier power relative to a full-scale ADC sine
    double deviation_hz = 75000.0;  // peak deviation of a full-scale audio signal
    double preemphasis_us = 75.0;   // 0: none
    bool pilot = false;             // 19 kHz pilot at 10 % of the deviation
    bool stereo = false;            // 38 kHz (L-R) subcarrier
    double offset_hz = 0.0;         // carrier offset from freq_hz
    double drift_hz_per_s = 0.0;    // linear carrier drift from the start of the run
    AudioSpec audio;
};

struct RfScene {
    std::vector<StationSpec> stations;
    // ADC noise power over the first Nyquist zone (0 .. clock/2), relative to
    // the power of a full-scale sine.
    double noise_dbfs = -80.0;
};

// Six stations at 100.9, 101.2, 103.5, 103.7, 105.7 and 106.2 MHz, each with
// its own tune; 103.5 MHz carries pilot and stereo subcarrier.
RfScene default_scene();

// Reads a scene file in the configuration language. Returns 0, or a negative
// error number with `error` naming the file and the offending key.
int load_scene(const std::string& path, RfScene& out, std::string& error);

}  // namespace qv01model
