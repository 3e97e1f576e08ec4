#include "pilot_pll.h"

#include <algorithm>
#include <cmath>

namespace radio_dsp {
namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kDegree = kPi / 180.0;

// Samples per loop update, and acquisition periods per half (2 x 1024 samples).
constexpr int kPeriod = 64;
constexpr int kAcquireHalf = 16;
// Farthest the loop's frequency may stray from 19 kHz.
constexpr double kPullHz = 40.0;
// Loop: natural frequency and damping; detector smoothing and level filter.
constexpr double kNaturalHz = 8.0;
constexpr double kDamping = 0.8;
constexpr double kSmoothingS = 0.002;
constexpr double kLevelS = 0.020;
// Lock thresholds as shares of full deviation and phase errors.
constexpr double kFindLevel = 0.04, kKeepLevel = 0.03;
constexpr double kFindError = 15 * kDegree, kKeepError = 25 * kDegree;
// Without the pilot this long the loop acquires again.
constexpr double kReacquireS = 0.1;

double wrap(double a) { return std::remainder(a, 2 * kPi); }

}  // namespace

PilotPll::PilotPll(double input_rate_hz)
    : rate_hz_(input_rate_hz), nominal_step_(2 * kPi * kPilotHz / input_rate_hz) {
    reset();
}

void PilotPll::reset() {
    step_ = nominal_step_;
    theta_ = 0.0;
    cos_ = 1.0;
    sin_ = 0.0;
    step_cos_ = std::cos(step_);
    step_sin_ = std::sin(step_);
    in_period_ = 0;
    sum_i_ = sum_q_ = 0.0;
    acquiring_ = true;
    acquire_periods_ = 0;
    first_i_ = first_q_ = second_i_ = second_q_ = 0.0;
    pre1_i_ = pre1_q_ = pre2_i_ = pre2_q_ = 0.0;
    level_i_ = level_q_ = 0.0;
    locked_ = false;
    weak_periods_ = 0;
}

void PilotPll::process(const float* mpx, int n, float* carrier) {
    for (int k = 0; k < n; ++k) {
        const double x = mpx[k], c = cos_, s = sin_;
        // Against a pilot p sin(theta + d): x 2 sin(theta) averages to
        // p cos(d), x 2 cos(theta) to p sin(d) (the factor 2 is applied once
        // per period).
        sum_i_ += x * s;
        sum_q_ += x * c;
        if (carrier != nullptr) carrier[k] = static_cast<float>(4.0 * s * c);
        cos_ = c * step_cos_ - s * step_sin_;
        sin_ = s * step_cos_ + c * step_sin_;
        if (++in_period_ == kPeriod) end_of_update();
    }
}

void PilotPll::end_of_update() {
    theta_ += kPeriod * step_;
    if (acquiring_)
        acquire();
    else
        track();
    sum_i_ = sum_q_ = 0.0;
    in_period_ = 0;
    // The oscillator restarts from the loop's phase each period, so the
    // rotation's rounding never accumulates.
    theta_ = wrap(theta_);
    cos_ = std::cos(theta_);
    sin_ = std::sin(theta_);
    step_cos_ = std::cos(step_);
    step_sin_ = std::sin(step_);
}

void PilotPll::acquire() {
    // Each half is weighted by a Hann window over its periods, so the audio's
    // mixing products (4 kHz and more away) leak next to nothing into the
    // phases.
    const int p = acquire_periods_ % kAcquireHalf;
    const double w = std::pow(std::sin(kPi * (p + 0.5) / kAcquireHalf), 2);
    const double i = w * sum_i_, q = w * sum_q_;
    if (acquire_periods_ < kAcquireHalf) {
        first_i_ += i;
        first_q_ += q;
    } else {
        second_i_ += i;
        second_q_ += q;
    }
    if (++acquire_periods_ < 2 * kAcquireHalf) return;
    // Phase at the middle of each half; their difference is the frequency
    // error over half a window.
    const double d1 = std::atan2(first_q_, first_i_), d2 = std::atan2(second_q_, second_i_);
    const double half = double(kAcquireHalf) * kPeriod;
    const double pull = 2 * kPi * kPullHz / rate_hz_;
    const double dw = wrap(d2 - d1) / half;
    const double step = std::clamp(step_ + dw, nominal_step_ - pull, nominal_step_ + pull);
    theta_ += d2 + (step - step_) * half / 2;
    step_ = step;
    // The window's weights sum to half the periods; x 2 sin, x 2 cos.
    const double amp = (std::hypot(first_i_, first_q_) + std::hypot(second_i_, second_q_)) /
                       (0.5 * kAcquireHalf * kPeriod);
    pre1_i_ = pre2_i_ = level_i_ = amp;
    pre1_q_ = pre2_q_ = level_q_ = 0.0;
    acquiring_ = false;
    acquire_periods_ = 0;
    first_i_ = first_q_ = second_i_ = second_q_ = 0.0;
    weak_periods_ = 0;
    locked_ = pilot_level() >= kFindLevel;
}

void PilotPll::track() {
    const double t = kPeriod / rate_hz_;
    const double a = 1.0 - std::exp(-t / kSmoothingS);
    const double i = 2.0 * sum_i_ / kPeriod, q = 2.0 * sum_q_ / kPeriod;
    pre1_i_ += a * (i - pre1_i_);
    pre1_q_ += a * (q - pre1_q_);
    pre2_i_ += a * (pre1_i_ - pre2_i_);
    pre2_q_ += a * (pre1_q_ - pre2_q_);

    // Second-order loop on the phase error, in units of one update period.
    const double wn = 2 * kPi * kNaturalHz * t;
    const double e = std::atan2(pre2_q_, pre2_i_);
    const double pull = 2 * kPi * kPullHz / rate_hz_;
    theta_ += 2 * kDamping * wn * e;
    step_ = std::clamp(step_ + wn * wn * e / kPeriod, nominal_step_ - pull, nominal_step_ + pull);

    const double l = 1.0 - std::exp(-t / kLevelS);
    level_i_ += l * (pre2_i_ - level_i_);
    level_q_ += l * (pre2_q_ - level_q_);
    const double level = pilot_level(), error = std::fabs(phase_error());
    if (!locked_)
        locked_ = level >= kFindLevel && error < kFindError;
    else if (level < kKeepLevel || error > kKeepError)
        locked_ = false;
    weak_periods_ = locked_ ? 0 : weak_periods_ + 1;
    if (weak_periods_ * t >= kReacquireS) {
        acquiring_ = true;
        acquire_periods_ = 0;
        weak_periods_ = 0;
    }
}

double PilotPll::pilot_level() const {
    return std::hypot(level_i_, level_q_) * rate_hz_ / (2 * kPi) / kFullDeviationHz;
}

double PilotPll::phase_error() const { return std::atan2(level_q_, level_i_); }

double PilotPll::frequency_hz() const { return step_ * rate_hz_ / (2 * kPi); }

}  // namespace radio_dsp
