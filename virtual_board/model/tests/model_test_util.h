// Helpers shared by the chip model tests: building a chip around a small
// scene, running the reference chain and measuring tones in the output.
#pragma once

#include <complex>
#include <memory>
#include <vector>

#include "qv01_chip.h"
#include "reference_chain.h"

namespace qv01test {

constexpr double kClock = 66.0e6;
constexpr double kFs = 32767.0;  // output amplitude of a full-scale carrier at 0 dB chain gain

// A scene with one unmodulated carrier at freq_hz and level_dbfs.
qv01model::RfScene cw_scene(double freq_hz, double level_dbfs, double noise_dbfs = -200.0);

std::unique_ptr<qv01model::Qv01Chip> make_chip(const qv01model::RfScene& scene,
                                               double clock_hz = kClock, double ppm = 0.0);

// Programs channel 0 with `chain` tuned to tune_hz and starts the receiver.
void configure(qv01model::Qv01Chip& chip, const qv01model::ReferenceChain& chain, double tune_hz,
               double clock_hz = kClock);

// Generates n frames of channel 0 after discarding `skip` (filter start-up).
std::vector<std::complex<double>> capture(qv01model::Qv01Chip& chip, size_t n, size_t skip = 256);

// Complex amplitude of the tone at freq_hz (rate fs_hz) in x.
std::complex<double> tone(const std::vector<std::complex<double>>& x, double freq_hz, double fs_hz);

// Frequency of a single dominant tone, from the mean phase step.
double dominant_frequency(const std::vector<std::complex<double>>& x, double fs_hz);

double db(double ratio);

}  // namespace qv01test

namespace qv01test {

// Independent FM receiver for the tests: phase-difference discriminator,
// 75 us de-emphasis, 15 kHz low-pass (Blackman-windowed sinc, 401 taps) and
// decimation by 4. Output in Hz of deviation at fs_hz / 4, positive for a
// carrier above the tuning: the channel delivers the band spectrally
// inverted, so the discriminator works on the conjugate of x.
std::vector<double> fm_receive(const std::vector<std::complex<double>>& x, double fs_hz,
                               double deemphasis_us = 75.0);

// Least-squares fit of DC plus sinusoids at `freqs_hz` to y[begin, end).
// Returns the fitted amplitude per frequency; adds the fitted AC power and the
// residual power to *signal and *residual. Optionally returns, per frequency,
// the phase psi of the fit A sin(2 pi f i / fs_hz + psi) (i the index into
// y), and the fitted DC.
std::vector<double> fit_tones(const std::vector<double>& y, size_t begin, size_t end, double fs_hz,
                              const std::vector<double>& freqs_hz, double* signal, double* residual,
                              std::vector<double>* phase_rad = nullptr, double* dc = nullptr);

}  // namespace qv01test
