// The band scan of qv-radio: the tuning steps across a range; at each step a
// few blocks of the chip's output are measured (ChannelProbe), and the
// carriers are taken from the steps that see one near their middle.
//
// The chip's channel is spectrally inverted: a carrier d above the tuning
// sits at -d in the I/Q and demodulates to a mean of -d; the probe undoes
// that. A real ADC clocked at 66 MHz folds the band at every multiple of
// 33 MHz: f and 198 MHz - f land on the same tuning around 99 MHz, so a
// scan across a fold finds each carrier twice (folds_within()).
//
// Threads: the caller's (the thread that talks to the board).
#pragma once

#include <complex>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "demod_ring.h"
#include "fm_discriminator.h"
#include "pilot_pll.h"
#include "power_spectrum_estimator.h"

namespace qvradio {

class Receiver;

// What one step saw.
struct ScanStep {
    double tuned_hz = 0;
    double offset_hz = 0;      // strongest carrier's distance above the tuning (discriminator mean)
    double level_dbfs = -200;  // its power (within 80 kHz of it, noise removed); 0 dB = full scale
    double snr_db = -100;      // power within 50 kHz of it against the noise floor there
    double centred = 0;        // share of the channel's power above the noise within 50 kHz of it
    // Power in the 30 kHz above the carrier against the 30 kHz below it, dB:
    // near 0 for a carrier in the channel, far from it for the skirt of one
    // beside the channel, which the channel filter cuts on one side.
    double balance_db = 0;
    bool pilot = false;  // a 19 kHz pilot locked
};

// A carrier found.
struct Carrier {
    double frequency_hz = 0;
    double level_dbfs = -200;
    double offset_hz = 0;  // from the scan step that measured it
    bool stereo = false;   // it sends a pilot
};

// Measures one tuning from whole blocks of the chip's output (I/Q frames at
// `input_rate_hz`), with the programs' discriminator and spectrum.
class ChannelProbe {
  public:
    explicit ChannelProbe(double input_rate_hz);
    ChannelProbe(const ChannelProbe&) = delete;
    ChannelProbe& operator=(const ChannelProbe&) = delete;

    // Forgets the blocks taken (a new tuning).
    void reset();
    // Takes one block of radio_dsp::kBlockFrames frames.
    void add_block(const int16_t* iq);
    // What the blocks since reset() show; `tuned_hz` is the tuning they were
    // taken at. A level of -200 dB and no pilot without any block.
    ScanStep result(double tuned_hz);

  private:
    double rate_hz_;
    radio_dsp::FmDiscriminator discriminator_;
    radio_dsp::DemodRing ring_;
    radio_dsp::SpectrumEstimator spectrum_;
    radio_dsp::PilotPll pilot_;
    std::unique_ptr<std::complex<double>[]> spectrum_input_;
    std::vector<double> power_sum_;
    double window_power_ = 0;
    double mpx_sum_ = 0;
    int blocks_ = 0;
};

// The carriers in `steps` (taken `step_hz` apart), sorted by frequency: a
// step counts when its carrier stands 15 dB above the noise, holds at least
// half of the channel's power within 50 kHz of it, has its power balanced
// within 6 dB on its two sides and lies no further than half a step (and
// 10 kHz) from the tuning; carriers measured less than 90 kHz apart are one
// (stations lie 100 kHz apart or more), taken from the step nearest to it.
std::vector<Carrier> find_carriers(const std::vector<ScanStep>& steps, double step_hz);

// Multiples of half the ADC clock in [from_hz, to_hz], where the band folds.
std::vector<double> folds_within(double from_hz, double to_hz, double clock_hz);

// Steps an open receiver from `from_hz` to `to_hz` (inclusive) by `step_hz`:
// at each step it retunes, drops what the stream held from before, and
// measures three blocks. `progress` is called before each step with its
// tuning; `stop` is asked between steps (Ctrl-C). Returns 0 with `*steps`
// filled (fewer when stopped), or a negative error number with `*error` set:
// the board was lost, the stream stopped.
int scan_band(Receiver& receiver, double from_hz, double to_hz, double step_hz,
              std::vector<ScanStep>* steps, const std::function<void(double)>& progress,
              const std::function<bool()>& stop, std::string* error);

}  // namespace qvradio
