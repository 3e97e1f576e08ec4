// Noise of the FM multiplex and the audio signal-to-noise ratio it implies.
//
// The discriminator turns white noise around the carrier into multiplex noise
// that rises with frequency as sin^2(pi f / fs) (f^2 for f well below the
// sample rate). Broadcast multiplex carries nothing from 60 to 75 kHz (audio
// below 15 kHz, pilot 19 kHz, L - R 23 to 53 kHz, RDS around 57 kHz) while
// the receiver's channel filter is still flat there, so the power found in
// that band gives the noise law's scale, and from it the noise that reaches
// the 15 kHz audio band after de-emphasis. The reference is a tone at the
// full deviation of 75 kHz (the usual figure of FM receivers).
//
// One 4096-point Blackman spectrum of the newest multiplex samples per
// measure() (FFTW, plan and buffers kept). The owner's thread only.
#pragma once

#include <complex>
#include <memory>

#include "demod_ring.h"
#include "power_spectrum_estimator.h"

namespace radio_dsp {

class MultiplexMeter {
  public:
    static constexpr int kPoints = 4096;

    // `input_rate_hz`: multiplex samples per second (the chip's output rate).
    explicit MultiplexMeter(double input_rate_hz);
    MultiplexMeter(const MultiplexMeter&) = delete;
    MultiplexMeter& operator=(const MultiplexMeter&) = delete;

    // Measures the 4096 ring entries before its write index and folds the
    // result into a running mean (a quarter of each new measurement), the
    // first measurement after reset() taken whole.
    void measure(const DemodRing& ring);
    void reset() { measured_ = false; }

    // Power of the discriminator's noise law, in rad^2 per sample at the
    // top of the band (fs / 2): noise in [f, f + df] has
    // density() * sin^2(pi f / fs) * 2 df / fs. 0 before the first measure().
    double density() const { return density_; }
    // Audio SNR in dB of a full-deviation tone against the noise from 30 Hz
    // to 15 kHz after a de-emphasis of `deemphasis_us` (mono). +infinity
    // without noise, NaN before the first measure().
    double snr_db(double deemphasis_us) const;

  private:
    double rate_hz_;
    SpectrumEstimator spectrum_;
    std::unique_ptr<std::complex<double>[]> input_;
    double window_power_ = 0.0;  // sum of the window's squared weights
    bool measured_ = false;
    double density_ = 0.0;
};

}  // namespace radio_dsp
