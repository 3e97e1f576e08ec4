// FM stereo beside the mono signal path: the left and right channels from
// the multiplex in the demodulated ring, with the mono path's own resampler
// and kernel.
//
// The mono path resamples the multiplex (M = (L + R) / 2 at baseband) with a
// kernel that de-emphasises (75 us) and cuts everything from 19 kHz up. The
// decoder keeps a second ring beside it, index for index: each multiplex
// sample times the 38 kHz subcarrier regenerated from the pilot (PilotPll),
// which brings S = (L - R) / 2 to baseband and everything else to 19 kHz and
// above. Resampled at exactly the positions of the mono block (a copy of the
// mono resampler's state taken before it runs), with the same kernel, S gets
// the same de-emphasis, low-pass and delay as M, and L = M + S, R = M - S.
// The kernel removes the pilot and the subcarrier products from both.
//
// The discriminator's phase step averages the frequency over one sample
// (a response of sinc(f / fs)): at 203.7 kHz it loses 0.5 dB at 38 kHz that
// it does not lose in the audio band, which alone would limit the separation
// to some 30 dB; the difference is scaled back by 1 / sinc(38 kHz / fs).
//
// Blend: S is faded in (over a quarter second) while the pilot is locked and
// the multiplex noise (MultiplexMeter) leaves a mono SNR of at least 60 dB
// (the stereo SNR is some 20 dB lower), out towards mono between 60 and
// 45 dB, and wholly without the pilot.
// De-emphasis per channel: the kernel's 75 us is turned into 50 us by a
// first-order shelf on each output channel (DeemphasisShelf).
//
// A run of the radio panel's order uses it like this (SignalPath's
// rate_matched observer call comes after rate matching and before the
// resampler runs, so the resampler then holds the block's start):
//     rate_matched: decoder.follow(path.ring()); decoder.resample(path.resampler());
//     after produce_audio(out, ...): decoder.mix(out);
// Plain state; buffers allocated at construction; the owner's thread only.
#pragma once

#include <cstdint>
#include <memory>

#include "demod_ring.h"
#include "multiplex_meter.h"
#include "pilot_pll.h"

namespace radio_dsp {

// First-order shelf at the audio rate that turns the resampler kernel's
// 75 us de-emphasis into another time constant: (1 + s 75 us) / (1 + s tau),
// bilinear with both corners prewarped. Unity at DC; an identity for 75 us.
class DeemphasisShelf {
  public:
    static constexpr double kKernelUs = 75.0;

    explicit DeemphasisShelf(double deemphasis_us, double rate_hz = 44100.0);
    bool identity() const { return identity_; }
    float process(float x) {
        const double y = b0_ * x + b1_ * x1_ - a1_ * y1_;
        x1_ = x;
        y1_ = y;
        return static_cast<float>(y);
    }
    void reset() { x1_ = y1_ = 0.0; }

  private:
    bool identity_;
    double b0_ = 1.0, b1_ = 0.0, a1_ = 0.0;
    double x1_ = 0.0, y1_ = 0.0;
};

class StereoDecoder {
  public:
    // Mono SNR (MultiplexMeter) from which the blend is full stereo, and
    // below which it is mono.
    static constexpr double kStereoSnrDb = 60.0;
    static constexpr double kMonoSnrDb = 45.0;

    // `input_rate_hz`: multiplex samples per second (the chip's output
    // rate); `deemphasis_us`: 75 or 50 (any positive value works). Follows a
    // ring from index 0, as a new SignalPath's ring starts.
    StereoDecoder(double input_rate_hz, double deemphasis_us);
    StereoDecoder(const StereoDecoder&) = delete;
    StereoDecoder& operator=(const StereoDecoder&) = delete;

    // Mono forced: no subcarrier products, blend 0 (the pilot is still
    // tracked and shown).
    void set_forced_mono(bool forced) { forced_mono_ = forced; }
    bool forced_mono() const { return forced_mono_; }

    // Back to no pilot and blend 0; follows `ring` from its write index on.
    void reset(const DemodRing& ring);

    // Tracks the pilot through the multiplex entries written into `ring`
    // since the last call (fewer than 65536: call once per run), stores their
    // products with the subcarrier at the same indices of the difference
    // ring, measures the multiplex noise and sets the blend's aim.
    void follow(const DemodRing& ring);
    // Resamples kAudioFrames frames of the difference from the position and
    // ratio `mono` holds (before the mono block is resampled). Skipped while
    // the blend is and stays mono.
    void resample(const Resampler& mono);
    // Turns kAudioFrames stereo frames of mono audio (the same sample in
    // both channels, as the mono path writes them) into left and right:
    // L = M + b S, R = M - b S with the blend b, then each channel through
    // the de-emphasis shelf, rounded and clamped to +-32767. With the blend
    // at mono and 75 us the frames stay exactly as they are.
    void mix(int16_t* frames);

    // Blend now, 0 (mono) .. 1 (stereo); stereo() when at least a half.
    double blend() const { return blend_; }
    bool stereo() const { return blend_ >= 0.5; }
    const PilotPll& pilot() const { return pll_; }
    // Mono SNR in dB at this decoder's de-emphasis (MultiplexMeter::snr_db);
    // NaN before the first follow().
    double snr_db() const { return meter_.snr_db(deemphasis_us_); }
    double deemphasis_us() const { return deemphasis_us_; }

  private:
    double deemphasis_us_;
    float difference_gain_;  // 2 sin(2 theta) scaled by 1 / sinc(38 kHz / fs)
    bool forced_mono_ = false;
    PilotPll pll_;
    MultiplexMeter meter_;
    DemodRing difference_;
    Resampler resampler_;
    uint16_t followed_ = 0;         // next ring index to take
    bool have_difference_ = false;  // resample() filled difference_out_ for this run
    double blend_ = 0.0, aim_ = 0.0;
    DeemphasisShelf left_, right_;
    std::unique_ptr<float[]> carrier_;           // kBlockFrames
    std::unique_ptr<int16_t[]> difference_out_;  // 2 x kAudioFrames
};

}  // namespace radio_dsp
