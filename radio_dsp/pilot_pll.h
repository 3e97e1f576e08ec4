// Phase-locked loop on the 19 kHz pilot of an FM stereo multiplex, and the
// 38 kHz subcarrier regenerated from it.
//
// Input: the multiplex as the discriminator writes it into the demodulated
// ring, one phase step (radians) per chip output sample. The pilot is a sine
// of a tenth of the deviation (7.5 kHz of 75 kHz, 0.23 rad a sample at
// 203.7 kHz); the difference signal L - R rides on a suppressed carrier at
// twice the pilot's phase, so with the loop locked to the pilot as
// sin(theta), 2 sin(2 theta) times the multiplex brings L - R to baseband.
// A spectrally inverted channel negates the multiplex: the loop then locks
// half a turn away, 2 theta moves by a whole turn and the difference comes
// out negated like the sum, so left and right stay where they are.
//
// How it locks: the first 2048 samples (10 ms) after a reset, and again
// after the pilot was lost for 100 ms, are correlated with the nominal 19 kHz
// in two halves; the phase of the second half and the turn between the two
// set phase and frequency at once (a pilot within +-40 Hz, 2000 ppm of clock
// error, is caught). Then a second-order loop (natural frequency 8 Hz,
// damping 0.8) follows, updated every 64 samples on the phase detector's
// output smoothed by two 2 ms stages, which keep the audio's mixing products
// (4 kHz and up for audio below 15 kHz) out of the loop.
//
// Plain state; no allocation, no locks; the owner's thread only.
#pragma once

#include <cstdint>

namespace radio_dsp {

constexpr double kPilotHz = 19000.0;
// Full deviation of broadcast FM; pilot levels are given as a share of it.
constexpr double kFullDeviationHz = 75000.0;

class PilotPll {
  public:
    // `input_rate_hz`: multiplex samples per second (the chip's output rate).
    explicit PilotPll(double input_rate_hz);

    // Back to acquisition at the nominal 19 kHz; the pilot counts as absent.
    void reset();

    // Tracks the pilot through `n` >= 0 multiplex samples. When `carrier` is
    // given, writes the regenerated subcarrier 2 sin(2 theta) for every
    // sample there (during acquisition it runs at the loop's current phase).
    void process(const float* mpx, int n, float* carrier);

    // Pilot found: locked within 15 degrees and at least 4 % of full
    // deviation; once found it is kept down to 3 %, 25 degrees.
    bool locked() const { return locked_; }
    // Pilot amplitude as a share of full deviation (0.1 for the usual 10 %),
    // smoothed over about 20 ms; noise alone reads a few tenths of a percent
    // at most.
    double pilot_level() const;
    // Phase of the pilot against the loop's, radians (smoothed).
    double phase_error() const;
    // Frequency the loop runs at, Hz.
    double frequency_hz() const;

  private:
    void end_of_update();
    void acquire();
    void track();

    double rate_hz_;
    double nominal_step_;                     // radians per sample at 19 kHz
    double step_;                             // radians per sample
    double theta_;                            // phase at the start of the current update period
    double cos_ = 1.0, sin_ = 0.0;            // e^{j theta} at the current sample
    double step_cos_ = 1.0, step_sin_ = 0.0;  // e^{j step}
    int in_period_ = 0;                       // samples of the current update period so far
    double sum_i_ = 0.0, sum_q_ = 0.0;        // detector sums of the period
    // Acquisition: halves correlated so far and their sums.
    bool acquiring_ = true;
    int acquire_periods_ = 0;
    double first_i_ = 0.0, first_q_ = 0.0, second_i_ = 0.0, second_q_ = 0.0;
    // Tracking: the two smoothing stages of the detector and the level filter.
    double pre1_i_ = 0.0, pre1_q_ = 0.0, pre2_i_ = 0.0, pre2_q_ = 0.0;
    double level_i_ = 0.0, level_q_ = 0.0;
    bool locked_ = false;
    int weak_periods_ = 0;  // update periods without the pilot, in a row
};

}  // namespace radio_dsp
