#include "multiplex_meter.h"

#include <cmath>
#include <limits>

#include "pilot_pll.h"

namespace radio_dsp {
namespace {

constexpr double kPi = 3.14159265358979323846;
// The empty band of the multiplex where the noise is measured.
constexpr double kNoiseLowHz = 60000.0, kNoiseHighHz = 75000.0;
// The audio band the SNR refers to, integrated in steps of kAudioStepHz.
constexpr double kAudioLowHz = 30.0, kAudioHighHz = 15000.0, kAudioStepHz = 10.0;
// Weight of a new measurement in the running mean.
constexpr double kNewWeight = 0.25;

}  // namespace

MultiplexMeter::MultiplexMeter(double input_rate_hz)
    : rate_hz_(input_rate_hz), input_(new std::complex<double>[kPoints]) {
    spectrum_.row_length = kPoints;
    spectrum_.rows = 1;
    spectrum_.N = kPoints;
    spectrum_.segments = 1;
    spectrum_.window = blackman_window;
    for (int n = 0; n < kPoints; ++n) window_power_ += std::pow(blackman_window(n, kPoints), 2);
}

void MultiplexMeter::measure(const DemodRing& ring) {
    const uint16_t first = static_cast<uint16_t>(ring.write_index - kPoints);
    for (int n = 0; n < kPoints; ++n) input_[n] = ring.at(static_cast<uint16_t>(first + n));
    if (spectrum_.compute(input_.get()) != 0) return;
    const double* power = spectrum_.result();  // zero frequency at kPoints / 2
    double sum = 0.0;
    int bins = 0;
    const int lo = static_cast<int>(std::ceil(kNoiseLowHz / rate_hz_ * kPoints));
    const int hi = static_cast<int>(std::floor(kNoiseHighHz / rate_hz_ * kPoints));
    for (int k = lo; k <= hi && k < kPoints / 2; ++k) {
        // Power of bin k over the noise law's shape there.
        const double p = power[kPoints / 2 + k] / (kPoints * window_power_);
        sum += p * kPoints / std::pow(std::sin(kPi * k / kPoints), 2);
        ++bins;
    }
    if (bins == 0) return;
    const double d = sum / bins;
    density_ = measured_ ? density_ + kNewWeight * (d - density_) : d;
    measured_ = true;
}

double MultiplexMeter::snr_db(double deemphasis_us) const {
    if (!measured_) return std::numeric_limits<double>::quiet_NaN();
    const double tau = deemphasis_us * 1e-6;
    double noise = 0.0;
    for (double f = kAudioLowHz + kAudioStepHz / 2; f < kAudioHighHz; f += kAudioStepHz) {
        const double shape = std::pow(std::sin(kPi * f / rate_hz_), 2);
        const double deemphasis = 1.0 / (1.0 + std::pow(2 * kPi * f * tau, 2));
        noise += 2.0 * density_ * shape * deemphasis * kAudioStepHz / rate_hz_;
    }
    const double a = 2 * kPi * kFullDeviationHz / rate_hz_;
    if (noise <= 0.0) return std::numeric_limits<double>::infinity();
    return 10.0 * std::log10(a * a / 2.0 / noise);
}

}  // namespace radio_dsp
