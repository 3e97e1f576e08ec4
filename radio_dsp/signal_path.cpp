#include "signal_path.h"

#include <algorithm>
#include <chrono>
#include <cmath>

#include "qv01_regs.h"

namespace radio_dsp {
namespace {

// Most the ring may hold: a block less than its size, so the demodulator
// never overwrites what the resampler has not read.
constexpr int kRingCapacity = kDemodRingSize - kBlockFrames;

// The representative of `modular` (modulo 65536) nearest to `expected`.
int unwrap_fill(int modular, int expected) {
    const int k = static_cast<int>(std::lround((expected - modular) / double(kDemodRingSize)));
    return modular + k * kDemodRingSize;
}

}  // namespace

SignalPath::SignalPath(const SignalPathConfig& config)
    : config_(config),
      resampler_(config.rate),
      tracker_(config.rate),
      image_(config.image),
      block_(new int16_t[2 * kBlockFrames]()),
      frequency_hz_(config.initial_frequency_hz),
      observer_(&null_observer_),
      shown_step_(config.rate.nominal_step) {
    spectrum_.row_length = kBlockFrames;
    spectrum_.rows = 1;
    spectrum_.N = kBlockFrames;
    spectrum_.segments = 1;
    spectrum_.window = blackman_window;
    spectrum_.single_precision = config.spectrum_single_precision;
    // Timed once at start-up: the measured transform costs two thirds of the
    // estimated one in every processing run.
    if (config.spectrum) spectrum_.plan_measured();
    image_.fill_test_pattern();
    set_clock(nullptr);
}

void SignalPath::set_clock(std::function<double()> now_s) {
    clock_ = now_s ? std::move(now_s) : [] {
        return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
            .count();
    };
}

int SignalPath::fill_level() const { return unwrap_fill(ring_.fill_level(), expected_fill_); }

double SignalPath::step_deviation_ppm() const {
    return (resampler_.ratio() / config_.rate.nominal_step - 1.0) * 1e6;
}

int SignalPath::demodulate_queued(bool delta) {
    if (source_ == nullptr) return 0;
    // After a long stall more may be queued than the ring can take; the rest
    // stays queued and counts in the backlog that the rate matching brings
    // back (by skipping the oldest blocks once the audio pulls are steady).
    const int room = (kRingCapacity - std::max(fill_level(), 0)) / kBlockFrames;
    int blocks = 0;
    bool read_failed = false;
    while (blocks < room && source_->samples_available() >= kBlockFrames) {
        // The queue holds little-endian frames; this host is little-endian too.
        if (source_->read_stream(0, kBlockBytes, reinterpret_cast<unsigned char*>(block_.get())) !=
            0) {
            read_failed = true;
            break;
        }
        discriminator_.demodulate_block(block_.get(), ring_, &image_, delta, nullptr);
        expected_fill_ += kBlockFrames;
        ++delivered_blocks_;
        ++blocks;
    }
    // One spectrum per run, of the newest block (still in block_ unless a
    // failed read came after it): the panel shows one picture per audio
    // block, so the spectra of the blocks before would go unseen.
    if (blocks > 0 && !read_failed && config_.spectrum &&
        spectrum_.compute_frames(block_.get()) == 0)
        observer_->spectrum_ready(spectrum_.result(), spectrum_.N);
    return blocks;
}

int SignalPath::insert_silence(int n, int fill) {
    n = std::min(n, kRingCapacity - std::max(fill, 0));
    for (int k = 0; k < n; ++k) ring_.push(0.0f);
    expected_fill_ += std::max(n, 0);
    return std::max(n, 0);
}

int SignalPath::match_rate(int& fill) {
    const int queued = source_ ? source_->samples_available() : 0;
    const double delivered = double(delivered_blocks_) * kBlockFrames + queued;
    const RatioTracker::Decision d =
        tracker_.update(fill + queued, delivered, clock_(), resampler_);
    // Samples this run reads from the ring: up to the last tap of its last frame.
    auto need = [this] {
        return static_cast<uint16_t>(resampler_.tap_position(kAudioFrames - 1) - ring_.read_index) +
               kResamplerTaps;
    };
    if (d.adjust > 0) {
        // Skip the oldest first: whole blocks still queued, then ring samples.
        int skip = d.adjust;
        for (; skip >= kBlockFrames && source_ && source_->samples_available() >= kBlockFrames;
             skip -= kBlockFrames) {
            if (source_->read_stream(0, kBlockBytes,
                                     reinterpret_cast<unsigned char*>(block_.get())) != 0)
                break;
            ++dropped_blocks_;
            ++delivered_blocks_;
        }
        const int in_ring = std::clamp(std::min(skip, fill - need()), 0, kRingCapacity);
        resampler_.skip(in_ring);
        if (in_ring < skip) tracker_.note_unplanned(skip - in_ring);
    } else if (d.adjust < 0) {
        const int inserted = insert_silence(-d.adjust, fill);
        fill += inserted;
        if (inserted < -d.adjust) tracker_.note_unplanned(inserted + d.adjust);
    }
    if (fill < need()) {
        ++underruns_;
        const int inserted = insert_silence(need() - fill, fill);
        fill += inserted;
        tracker_.note_unplanned(inserted);
    }
    const int shown = static_cast<int>(std::lround(resampler_.ratio()));
    const int change = shown > shown_step_ ? 1 : shown < shown_step_ ? -1 : 0;
    shown_step_ = shown;
    return change;
}

void SignalPath::resample_block(int16_t* out, int fill) {
    const uint16_t before = ring_.read_index;
    resampler_.resample(ring_, out, kAudioFrames, config_.channels);
    expected_fill_ = fill - static_cast<uint16_t>(ring_.read_index - before);
}

void SignalPath::produce_audio(int16_t* out, bool delta, bool afc) {
    SignalPathObserver& obs = *observer_;
    demodulate_queued(delta);
    int fill = fill_level();
    const int change = match_rate(fill);
    obs.rate_matched(shown_step_, std::clamp(fill, 0, kDemodRingSize - 1), change);
    resample_block(out, fill);
    if (afc) afc_step(out);
    obs.image_ready(image_);
    obs.audio_trace(out);
    image_.fade();
    obs.run_done();
}

int SignalPath::on_wave_done(int16_t* out, bool delta, bool afc) {
    SignalPathObserver& obs = *observer_;
    demodulate_queued(delta);
    int fill = fill_level();
    if (fill < kUnderrunLevel) {
        if (write_) write_(qv01::kRegControl, qv01::kCmdStop);
        obs.underrun();
        return 1;
    }
    const int change = match_rate(fill);
    if (change != 0) obs.rate_matched(shown_step_, std::clamp(fill, 0, kDemodRingSize - 1), change);
    resample_block(out, fill);
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
