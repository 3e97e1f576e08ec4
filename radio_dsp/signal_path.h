// The whole receive chain between the sample queue and one audio block, in
// the two orders the front-ends use: the radio panel's processing run
// (produce_audio) and the classic form's buffer-completion handler
// (on_wave_done). The owner wires the observer calls to its widgets.
// Everything runs on the owner's GUI thread; no locks, no allocation after
// construction.
#pragma once

#include <complex>
#include <cstdint>
#include <functional>
#include <memory>

#include "constellation_image.h"
#include "demod_ring.h"
#include "fm_discriminator.h"
#include "nco.h"
#include "power_spectrum_estimator.h"
#include "ratio_tracker.h"

namespace radio_dsp {

// The board's consumer side of the sample queue (16-bit little-endian I/Q
// frames, 4 bytes each).
class SampleSource {
  public:
    virtual ~SampleSource() = default;
    // Whole frames waiting.
    virtual int samples_available() = 0;
    // Copies exactly n bytes of queue `queue` to dst and removes them; 0, or a
    // negative error number without copying.
    virtual int read_stream(int queue, int n, unsigned char* dst) = 0;
};

// Adapts any board class with samples_available() and
// read_stream(queue, n, dst) to SampleSource. The board is not owned.
template <class Board>
class BoardSampleSource : public SampleSource {
  public:
    explicit BoardSampleSource(Board* board) : board_(board) {}
    int samples_available() override { return board_->samples_available(); }
    int read_stream(int queue, int n, unsigned char* dst) override {
        return board_->read_stream(queue, n, dst);
    }

  private:
    Board* board_;
};

// Register writer for a board with write_reg(address, value); empty (no
// writes) when board is null.
template <class Board>
RegisterWriter board_register_writer(Board* board) {
    if (board == nullptr) return RegisterWriter();
    return [board](int address, int value) { board->write_reg(address, value); };
}

// Widget side of the chain. Every call happens inside produce_audio or
// on_wave_done; pointers are valid only during the call.
class SignalPathObserver {
  public:
    virtual ~SignalPathObserver() = default;
    // Power spectrum of the newest block a run demodulated (qv01_fm only).
    virtual void spectrum_ready(const double* /*power*/, int /*len*/) {}
    // Step (the resampling ratio rounded to whole 1/256 units) and fill level
    // after rate matching; change is -1, 0 or +1 as the shown step moved.
    virtual void rate_matched(int /*step*/, int /*avail*/, int /*change*/) {}
    // New tuning after an AFC correction.
    virtual void frequency_corrected(double /*freq_hz*/) {}
    // Classic only: the refilled buffer is ready for the wave output.
    virtual void block_ready(int16_t* /*frames*/) {}
    virtual void image_ready(const ConstellationImage& /*image*/) {}
    virtual void audio_trace(const int16_t* /*frames*/) {}
    // Last step of a run: overflow flag check.
    virtual void run_done() {}
    // Classic only: fill level fell below kUnderrunLevel; receiver stopped.
    virtual void underrun() {}
};

struct SignalPathConfig {
    RateMatchParams rate;
    ChannelLayout channels;
    ImageLayout image;
    double nco_clock_hz;
    double initial_frequency_hz;
    bool spectrum;  // one 4096-point Blackman spectrum per run, of its newest block
    // The spectrum's transform in single precision (display only; half the
    // time), else in double: the numbers of a default SpectrumEstimator.
    bool spectrum_single_precision = false;
};

constexpr SignalPathConfig kQv01SignalPath{
    kQv01RateMatch, ChannelLayout::kMonoBoth, ImageLayout::kRgb32Set, kQv01NcoClockHz, 100e6, true};
constexpr SignalPathConfig kClassicSignalPath{kClassicRateMatch,
                                              ChannelLayout::kLeftOnly,
                                              ImageLayout::kBgr24Brighten,
                                              kClassicNcoClockHz,
                                              0.0,
                                              false};

constexpr int kUnderrunLevel = 10000;  // classic: below this fill the receiver is stopped

class SignalPath {
  public:
    explicit SignalPath(const SignalPathConfig& config);
    SignalPath(const SignalPath&) = delete;
    SignalPath& operator=(const SignalPath&) = delete;

    // Non-owning; either may be null (no board: nothing is read or written).
    void set_source(SampleSource* source) { source_ = source; }
    void set_register_writer(RegisterWriter write) { write_ = std::move(write); }
    void set_observer(SignalPathObserver* observer) {
        observer_ = observer ? observer : &null_observer_;
    }
    // Steady clock in seconds that times the processing runs for the rate
    // matching (default: std::chrono::steady_clock); tests pass their own.
    void set_clock(std::function<double()> now_s);

    // Demodulates the complete 4096-frame blocks waiting in the source, as
    // many as the demodulated ring takes without overwriting samples not yet
    // played (after a long stall the rest waits in the queue); returns the
    // number of blocks. Stops at a failed read. Sends the newest block's
    // spectrum to the observer when the configuration has one.
    int demodulate_queued(bool delta);
    // Queued blocks skipped whole to bring the backlog back after a stall.
    uint64_t dropped_blocks() const { return dropped_blocks_; }

    // Deviation of the ratio the resampler uses now from the nominal one, in ppm
    // (positive: more input samples per output frame than nominal).
    double step_deviation_ppm() const;
    // Processing runs whose resampling would have read past the demodulated
    // samples (the ring ran dry); silence was played for the missing samples.
    uint64_t underruns() const { return underruns_; }
    // Demodulated samples not yet consumed, as a signed count: negative when
    // the resampler is ahead of the demodulator.
    int fill_level() const;

    // Radio panel run: fills out (4096 stereo frames, the half the selector
    // names) in the order demodulate, rate matching, show, resample, AFC,
    // image, trace, fade, overflow check. Rate matching: the ratio tracker
    // (ratio_tracker.h) sets the ratio and may skip samples or insert silence
    // once after a jump of the backlog; a ring that cannot cover the run is
    // topped up with silence (underruns()).
    void produce_audio(int16_t* out, bool delta, bool afc);

    // Classic completion: demodulate; below kUnderrunLevel write 0x8000 to the
    // control register, report underrun() and return 1 with out untouched;
    // otherwise rate matching, resample into out, AFC, block_ready, trace,
    // image, fade, overflow check, and return 0.
    int on_wave_done(int16_t* out, bool delta, bool afc);

    // Sets the tuning and writes its NCO word (when a board is present).
    void set_frequency(double freq_hz);
    // One AFC correction from the frames just produced; returns the new tuning.
    double afc_step(const int16_t* frames);

    double frequency_hz() const { return frequency_hz_; }
    FmDiscriminator& discriminator() { return discriminator_; }
    DemodRing& ring() { return ring_; }
    Resampler& resampler() { return resampler_; }
    const Resampler& resampler() const { return resampler_; }
    const RatioTracker& tracker() const { return tracker_; }
    ConstellationImage& image() { return image_; }
    SpectrumEstimator& spectrum() { return spectrum_; }

  private:
    // Rate matching and the adjustments before resampling; returns the shown
    // step's change (-1, 0, +1). `fill` is the signed fill level, updated.
    int match_rate(int& fill);
    // Resamples one block into out and keeps the fill level's prediction.
    void resample_block(int16_t* out, int fill);
    // Appends n samples of silence (a zero phase step); returns how many fit.
    int insert_silence(int n, int fill);

    SignalPathConfig config_;
    FmDiscriminator discriminator_;
    DemodRing ring_;
    Resampler resampler_;
    RatioTracker tracker_;
    ConstellationImage image_;
    SpectrumEstimator spectrum_;
    std::unique_ptr<int16_t[]> block_;
    double frequency_hz_;
    SampleSource* source_ = nullptr;
    RegisterWriter write_;
    SignalPathObserver* observer_ = nullptr;
    SignalPathObserver null_observer_;
    std::function<double()> clock_;
    uint64_t dropped_blocks_ = 0;
    uint64_t delivered_blocks_ = 0;  // demodulated or skipped, since construction
    uint64_t underruns_ = 0;
    // Signed fill level the ring indices are unwrapped against (they only
    // know it modulo 65536).
    int expected_fill_ = 0;
    int shown_step_;
};

}  // namespace radio_dsp
