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
    int channels = 0;  // in the file
    std::vector<float> left;
    std::vector<float> right;  // equal to left for mono files
};

// Limits of scene files (model/README.md states them with the ranges of
// every key); the size of each file and the number of files are the
// configuration reader's (qvcfg::kMaxFileBytes, 1000 files).
constexpr size_t kMaxValueChars = 1000;  // a value's text
constexpr size_t kMaxStations = 64;
constexpr size_t kMaxTonesPerList = 16;  // tones_hz, left_tones_hz, right_tones_hz each
constexpr size_t kMaxMelodyNotes = 64;
constexpr size_t kMaxWavBytes = size_t(16) << 20;       // one WAV file (95 s of 44.1 kHz stereo)
constexpr size_t kMaxSceneWavBytes = size_t(64) << 20;  // all WAV files of a scene together
constexpr double kMinWavRateHz = 8000.0, kMaxWavRateHz = 192000.0;

// Loads a RIFF/WAVE file with 16-bit PCM samples, mono or stereo, of at most
// max_bytes. Returns 0, or a negative error number (-2 no such file, -21 a
// directory, -27 too large, -22 not a regular file or not such a WAV file,
// another negated errno when it cannot be read); `error` then names the file
// and the problem. Reads nothing past the size it found; never throws.
int load_wav(const std::string& path, WavData& out, std::string& error,
             size_t max_bytes = kMaxWavBytes);

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
    std::string wav_path;  // as written in the scene (for messages)
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
    std::string origin;  // scene files: "<file>, line <n>" of the station's first key
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

// Reads a scene file in the configuration language and checks every key
// against its range and the limits above. Returns 0, or a negative error
// number with `error` naming the file, and for a problem of one key the line
// and the key: `scene file /abs/x.ini, line 12, A.tones_hz: ...`. `out` is
// left alone on failure. `notes` (when not null) receives what the
// configuration scanner said about the files (unrecognized characters,
// unopened directive files), one line each, at most 20 and a count of the
// rest; nothing is printed. Never throws.
int load_scene(const std::string& path, RfScene& out, std::string& error,
               std::vector<std::string>* notes = nullptr);

// CPU time the chip model's stream thread needs per second of output for
// `scene` at chip clock `clock_hz`, as a share of one core (1.0 = a whole
// core): a cost model of the model's plain loops, fitted to qv-chip-bench on
// the CIC layout of config/FM_radio.ini (CICN output at clock / 36), counting
// every station as heard (the model skips stations that cannot show at the
// tuning, usually all but the channel's own and its neighbours). With AVX2
// the model needs about a third of it.
double scene_cpu_share(const RfScene& scene, double clock_hz);

// Above these shares the scene is refused / warned about (see README).
constexpr double kMaxSceneCpuShare = 0.5;
constexpr double kWarnSceneCpuShare = 0.25;

// Whether the chip model can run `scene` in real time at `clock_hz`: 0, or
// -22 with `error` giving the estimate, the bound and the station (file and
// line) where the scene passes it. Above kWarnSceneCpuShare sets `warning`
// (when not null) and returns 0. `name` names the scene in the messages.
int check_scene_real_time(const RfScene& scene, double clock_hz, const std::string& name,
                          std::string& error, std::string* warning);

}  // namespace qv01model
