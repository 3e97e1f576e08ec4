// Renders one station's multiplex signal (mono audio, pilot, stereo
// difference on its 38 kHz subcarrier), pre-emphasised, at a fixed rate.
// The value is in units of the station's peak deviation: 1.0 = deviation_hz.
// Every call starts its oscillators from the phases of its first sample
// index, so a station that was skipped for a while resumes in step with
// time (within a call they run on by rotation: the last bits of a sample
// depend on where its call began).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "rf_scene.h"
#include "synth_kernels.h"

namespace qv01model {

class StationSynth {
  public:
    StationSynth(const StationSpec& spec, double rate_hz);

    // mpx[i] for sample indices n0 .. n0 + count - 1 at rate_hz.
    void render(uint64_t n0, float* mpx, size_t count);
    // A bound of |mpx| over all samples.
    double peak() const { return peak_; }

  private:
    struct Osc {
        uint32_t inc;     // phase step per sample, 2^32 = one cycle
        uint32_t offset;  // pre-emphasis phase lead
        float amp;
    };
    double rate_hz_;
    float audio_scale_;  // share of the deviation left to the audio
    bool pilot_, stereo_;
    uint32_t pilot_inc_;
    std::vector<Osc> mono_;                   // contributions to (L + R) / 2
    std::vector<Osc> diff_;                   // contributions to (L - R) / 2
    std::vector<Osc> notes_;                  // melody notes (mono)
    uint64_t note_len_ = 1;                   // samples per note
    uint64_t ramp_len_ = 1;                   // attack and release, samples
    std::vector<float> attack_;               // note envelope over the attack, ramp_len_ values
    std::vector<float> release_;              // the same backwards
    std::vector<float> wav_mono_, wav_diff_;  // pre-emphasised, scaled
    double wav_step_ = 0.0;                   // WAV samples per output sample
    std::vector<float> diff_buf_;             // scratch for the stereo difference
    std::vector<Tone> tones_;                 // scratch: oscillators at the block's start
    double peak_ = 0.0;
};

}  // namespace qv01model
