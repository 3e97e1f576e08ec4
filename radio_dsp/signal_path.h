// The whole receive chain between the sample queue and one audio block, in
// the two orders the front-ends use: the radio panel's processing run
// (produce_audio) and the classic form's buffer-completion handler
// (on_wave_done). The owner wires the observer calls to its widgets.
// Everything runs on the owner's GUI thread; no locks, no allocation after
// construction.
#pragma once

#include <complex>
#include <cstdint>
#include <memory>

#include "constellation_image.h"
#include "demod_ring.h"
#include "fm_discriminator.h"
#include "nco.h"
#include "power_spectrum_estimator.h"

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
    // Power spectrum of the block just demodulated (qv01_fm only).
    virtual void spectrum_ready(const double* /*power*/, int /*len*/) {}
    // Step and fill level after rate matching; change is -1, 0 or +1.
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
    bool spectrum;  // one 4096-point Blackman spectrum per demodulated block
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

    // Demodulates every complete 4096-frame block waiting in the source;
    // returns the number of blocks. Stops at a failed read. When more than 15
    // blocks wait (more than the demodulated ring can take in one run, after
    // a long stall), the oldest are read and dropped first (dropped_blocks()).
    int demodulate_queued(bool delta);
    // Blocks dropped because the demodulated ring could not take them.
    uint64_t dropped_blocks() const { return dropped_blocks_; }

    // Radio panel run: fills out (4096 stereo frames, the half the selector
    // names) in the order demodulate, rate matching, show, resample, AFC,
    // image, trace, fade, overflow check.
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
    ConstellationImage& image() { return image_; }
    SpectrumEstimator& spectrum() { return spectrum_; }

  private:
    SignalPathConfig config_;
    FmDiscriminator discriminator_;
    DemodRing ring_;
    Resampler resampler_;
    ConstellationImage image_;
    SpectrumEstimator spectrum_;
    std::unique_ptr<int16_t[]> block_;
    std::unique_ptr<std::complex<double>[]> spectrum_input_;
    double frequency_hz_;
    SampleSource* source_ = nullptr;
    RegisterWriter write_;
    SignalPathObserver* observer_ = nullptr;
    SignalPathObserver null_observer_;
    uint64_t dropped_blocks_ = 0;
};

}  // namespace radio_dsp
