#include "ratio_tracker.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

namespace radio_dsp {
namespace {

constexpr double kAudioRateHz = 44100.0;
// Loop gains per sample of smoothed backlog error, in step units: the
// proportional term answers 2000 samples with 1 unit (846 ppm); the integral
// one moves the estimate by 0.002 unit per run and 1000 samples. A unit of
// ratio error moves the backlog by 16 samples per run, so the loop is damped
// (about 0.7) with a period of some 100 s: slow enough that the jitter of the
// backlog (some 2000 samples from run to run) stays below 100 ppm of pitch;
// the fit after the first lock does the fast part.
constexpr double kProportional = 5e-4;
constexpr double kIntegral = 2e-6;
constexpr double kSmoothing = 1.0 / 16.0;
// Largest deviation of one run that the smoothing takes in (a late run).
constexpr double kClip = 4000.0;
// The guard judges the ring's fill: the backlog less the half block queued.
constexpr int kQueuedOnAverage = 2048;
// A fitted rate further than this from the estimate is a clock gone wrong.
constexpr double kFitPlausible = 0.05;
// Samples per run by which the loop's aim moves back to the target after it
// was left where the backlog stood: 4 samples a run is a quarter step unit,
// some 200 ppm of pitch, instead of the click of a skip.
constexpr double kGlide = 4.0;

int median(const int (&v)[RatioTracker::kQuietRuns]) {
    int sorted[RatioTracker::kQuietRuns];
    std::copy(v, v + RatioTracker::kQuietRuns, sorted);
    std::nth_element(sorted, sorted + RatioTracker::kQuietRuns / 2,
                     sorted + RatioTracker::kQuietRuns);
    return sorted[RatioTracker::kQuietRuns / 2];
}

}  // namespace

RatioTracker::RatioTracker(RateMatchParams params)
    : target_((params.lower_threshold + params.upper_threshold) / 2 + 2048),
      estimate_(params.nominal_step),
      aim_(target_) {}

void RatioTracker::note_unplanned(int samples) {
    last_backlog_ += samples;
    smoothed_ += samples;
    for (int& b : recent_) b += samples;
    settling_ = true;
    quiet_ = 0;
    if (fit_runs_ > 0) fit_runs_ = fits_ == 0 ? 0 : -1;
}

RatioTracker::Decision RatioTracker::update(int backlog, double delivered, double time_s,
                                            Resampler& resampler) {
    Decision d;
    const bool jump = have_last_ && std::abs(backlog - last_backlog_) > kJump;
    last_backlog_ = backlog;
    have_last_ = true;
    recent_[runs_++ % kQuietRuns] = backlog;

    if (settling_ || jump) {
        // Hold the ratio until the backlog stops jumping, then meet the
        // target once.
        if (jump || !settling_) quiet_ = 0;
        settling_ = true;
        // Frames lost in a stall would bend the fit: start it again before
        // the first estimate, give up the refinement after it.
        if (fit_runs_ > 0) fit_runs_ = fits_ == 0 ? 0 : -1;
        if (++quiet_ >= kQuietRuns) {
            // Far from the target: skip or fill the difference at once (the
            // audio broke anyway); near it: aim at where the backlog is and
            // glide back.
            int settled = median(recent_);
            if (std::abs(settled - target_) > kRealignDistance) {
                d.adjust = settled - target_;
                last_backlog_ -= d.adjust;
                settled = target_;
            }
            smoothed_ = aim_ = settled;
            settling_ = false;
        }
        resampler.set_ratio(estimate_);
        return d;
    }

    if (fit_runs_ >= 0) {
        if (fit_runs_ == 0) {
            fit_t0_ = time_s;
            fit_y0_ = delivered;
            fit_sx_ = fit_sy_ = fit_sxx_ = fit_sxy_ = 0.0;
        }
        ++fit_runs_;
        const double x = time_s - fit_t0_, y = delivered - fit_y0_;
        fit_sx_ += x;
        fit_sy_ += y;
        fit_sxx_ += x * x;
        fit_sxy_ += x * y;
    }
    smoothed_ += kSmoothing * std::clamp(backlog - smoothed_, -kClip, kClip);
    aim_ += std::clamp(target_ - aim_, -kGlide, kGlide);
    double error = smoothed_ - aim_;
    estimate_ += kIntegral * error;
    d.guard = resampler.guard_correction(std::clamp(
        static_cast<int>(std::lround(smoothed_)) - kQueuedOnAverage, 0, kDemodRingSize - 1));
    estimate_ += d.guard;

    if (fit_runs_ == kFitRuns || fit_runs_ == kRefitRuns) {
        // Frames per second delivered, at 256 x that / 44100 step units.
        const double n = fit_runs_;
        const double spread = n * fit_sxx_ - fit_sx_ * fit_sx_;
        const double rate_hz = spread > 0 ? (n * fit_sxy_ - fit_sx_ * fit_sy_) / spread : 0.0;
        const double measured = rate_hz / kAudioRateHz * 256.0;
        if (std::fabs(measured / estimate_ - 1.0) < kFitPlausible) {
            estimate_ = measured;
            ++fits_;
        }
        if (fit_runs_ == kRefitRuns) fit_runs_ = -1;
        // The fill wandered while the ratio was unknown. Beyond the realign
        // distance skip or fill to the target at once; otherwise aim at where
        // it stands and glide back rather than steer the pitch.
        if (fits_ == 1 && fit_runs_ == kFitRuns) {
            const int now = median(recent_);
            if (std::abs(now - target_) > kRealignDistance) {
                d.adjust = now - target_;
                last_backlog_ -= d.adjust;
                smoothed_ = aim_ = target_;
            } else {
                aim_ = smoothed_;
            }
            error = 0.0;
        }
    }
    resampler.set_ratio(estimate_ + kProportional * error);
    return d;
}

}  // namespace radio_dsp
