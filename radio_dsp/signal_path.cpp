#include "signal_path.h"

#include <algorithm>

namespace radio_dsp {

SignalPath::SignalPath(const SignalPathConfig& config)
    : config_(config),
      resampler_(config.rate),
      image_(config.image),
      block_(new int16_t[2 * kBlockFrames]()),
      spectrum_input_(config.spectrum ? new std::complex<double>[kBlockFrames] : nullptr),
      frequency_hz_(config.initial_frequency_hz),
      observer_(&null_observer_) {
    spectrum_.row_length = kBlockFrames;
    spectrum_.rows = 1;
    spectrum_.N = kBlockFrames;
    spectrum_.segments = 1;
    spectrum_.window = blackman_window;
    image_.fill_test_pattern();
}

int SignalPath::demodulate_queued(bool delta) {
    if (source_ == nullptr) return 0;
    // After a long stall (a sound output that starts late, a busy machine)
    // more may be queued than the demodulated ring holds; demodulating it all
    // would lap the ring within this one run and scramble the fill level (a
    // false underrun in the classic path). Keep the newest 15 blocks (the ring
    // less one block) and drop the older ones whole.
    constexpr int kMaxBlocksPerRun = (kDemodRingSize - kBlockFrames) / kBlockFrames;
    for (int excess = source_->samples_available() / kBlockFrames - kMaxBlocksPerRun; excess > 0;
         --excess) {
        if (source_->read_stream(0, kBlockBytes, reinterpret_cast<unsigned char*>(block_.get())) != 0)
            return 0;
        ++dropped_blocks_;
    }
    int blocks = 0;
    while (source_->samples_available() >= kBlockFrames) {
        // The queue holds little-endian frames; this host is little-endian too.
        if (source_->read_stream(0, kBlockBytes, reinterpret_cast<unsigned char*>(block_.get())) !=
            0)
            break;
        discriminator_.demodulate_block(block_.get(), ring_, &image_, delta, spectrum_input_.get());
        if (config_.spectrum && spectrum_.compute(spectrum_input_.get()) == 0)
            observer_->spectrum_ready(spectrum_.result(), spectrum_.N);
        ++blocks;
    }
    return blocks;
}

void SignalPath::produce_audio(int16_t* out, bool delta, bool afc) {
    SignalPathObserver& obs = *observer_;
    demodulate_queued(delta);
    const int change = resampler_.match_rate(ring_);
    obs.rate_matched(resampler_.step, ring_.fill_level(), change);
    resampler_.resample(ring_, out, kAudioFrames, config_.channels);
    if (afc) afc_step(out);
    obs.image_ready(image_);
    obs.audio_trace(out);
    image_.fade();
    obs.run_done();
}

int SignalPath::on_wave_done(int16_t* out, bool delta, bool afc) {
    SignalPathObserver& obs = *observer_;
    demodulate_queued(delta);
    const int fill = ring_.fill_level();
    if (fill < kUnderrunLevel) {
        if (write_) write_(kRegControl, kControlStop);
        obs.underrun();
        return 1;
    }
    const int change = resampler_.match_rate(ring_);
    if (change != 0) obs.rate_matched(resampler_.step, fill, change);
    resampler_.resample(ring_, out, kAudioFrames, config_.channels);
    if (afc) afc_step(out);
    obs.block_ready(out);
    obs.audio_trace(out);
    obs.image_ready(image_);
    image_.fade();
    obs.run_done();
    return 0;
}

void SignalPath::set_frequency(double freq_hz) {
    frequency_hz_ = freq_hz;
    write_nco_word(nco_word(frequency_hz_, config_.nco_clock_hz), write_);
}

double SignalPath::afc_step(const int16_t* frames) {
    frequency_hz_ -= kAfcGain * afc_frequency_error(frames);
    observer_->frequency_corrected(frequency_hz_);
    write_nco_word(nco_word(frequency_hz_, config_.nco_clock_hz), write_);
    return frequency_hz_;
}

}  // namespace radio_dsp
