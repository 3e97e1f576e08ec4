#include "stereo_decoder.h"

#include <algorithm>
#include <cmath>

namespace radio_dsp {
namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kAudioRateHz = 44100.0;
constexpr int kChunk = 4096;  // multiplex samples per pass of follow()
// The blend moves by at most this much per output frame: a quarter second
// from mono to stereo.
constexpr double kBlendPerFrame = 1.0 / (0.25 * kAudioRateHz);

// Prewarped corner of a time constant for the bilinear transform at `rate`.
double prewarped(double tau_s, double rate) {
    return 2 * rate * std::tan(1.0 / (2 * rate * tau_s));
}

int16_t pcm(double y) {
    y = std::clamp(y, -32767.0, 32767.0);
    return static_cast<int16_t>(std::lround(y));
}

}  // namespace

DeemphasisShelf::DeemphasisShelf(double deemphasis_us, double rate_hz)
    : identity_(deemphasis_us == kKernelUs) {
    if (identity_) return;
    // H(s) = (1 + s / w0) / (1 + s / w1) with s = k (1 - z^-1) / (1 + z^-1).
    const double k = 2 * rate_hz;
    const double w0 = prewarped(kKernelUs * 1e-6, rate_hz);
    const double w1 = prewarped(deemphasis_us * 1e-6, rate_hz);
    const double den = 1 + k / w1;
    b0_ = (1 + k / w0) / den;
    b1_ = (1 - k / w0) / den;
    a1_ = (1 - k / w1) / den;
}

StereoDecoder::StereoDecoder(double input_rate_hz, double deemphasis_us)
    : deemphasis_us_(deemphasis_us),
      pll_(input_rate_hz),
      meter_(input_rate_hz),
      left_(deemphasis_us),
      right_(deemphasis_us),
      carrier_(new float[kChunk]),
      difference_out_(new int16_t[2 * kAudioFrames]()) {
    const double x = kPi * 2 * kPilotHz / input_rate_hz;
    difference_gain_ = static_cast<float>(x / std::sin(x));
}

void StereoDecoder::reset(const DemodRing& ring) {
    pll_.reset();
    meter_.reset();
    followed_ = ring.write_index;
    have_difference_ = false;
    blend_ = aim_ = 0.0;
    left_.reset();
    right_.reset();
}

void StereoDecoder::follow(const DemodRing& ring) {
    int todo = static_cast<uint16_t>(ring.write_index - followed_);
    while (todo > 0) {
        // window() is contiguous up to the ring's end.
        const int n = std::min({todo, kChunk, kDemodRingSize - followed_});
        const float* mpx = ring.window(followed_);
        pll_.process(mpx, n, forced_mono_ ? nullptr : carrier_.get());
        if (!forced_mono_) {
            const float g = difference_gain_;
            for (int k = 0; k < n; ++k)
                difference_.store(static_cast<uint16_t>(followed_ + k), mpx[k] * carrier_[k] * g);
        }
        followed_ = static_cast<uint16_t>(followed_ + n);
        todo -= n;
    }
    meter_.measure(ring);
    if (forced_mono_ || !pll_.locked()) {
        aim_ = 0.0;
    } else {
        aim_ = std::clamp((snr_db() - kMonoSnrDb) / (kStereoSnrDb - kMonoSnrDb), 0.0, 1.0);
    }
}

void StereoDecoder::resample(const Resampler& mono) {
    have_difference_ = !forced_mono_ && (blend_ > 0.0 || aim_ > 0.0);
    if (!have_difference_) return;
    resampler_ = mono;
    resampler_.resample(difference_, difference_out_.get(), kAudioFrames, ChannelLayout::kLeftOnly);
}

void StereoDecoder::mix(int16_t* frames) {
    if (blend_ == 0.0 && aim_ == 0.0 && left_.identity()) return;
    const int16_t* s = difference_out_.get();
    const bool with_s = have_difference_;
    for (int i = 0; i < kAudioFrames; ++i) {
        if (blend_ < aim_)
            blend_ = std::min(aim_, blend_ + kBlendPerFrame);
        else if (blend_ > aim_)
            blend_ = std::max(aim_, blend_ - kBlendPerFrame);
        const float m = frames[2 * i];
        const float bs = with_s ? static_cast<float>(blend_) * s[2 * i] : 0.0f;
        float l = m + bs, r = m - bs;
        if (!left_.identity()) {
            l = left_.process(l);
            r = right_.process(r);
        }
        frames[2 * i] = pcm(l);
        frames[2 * i + 1] = pcm(r);
    }
    have_difference_ = false;
}

}  // namespace radio_dsp
