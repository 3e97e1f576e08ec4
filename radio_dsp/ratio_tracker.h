// Keeps the resampling ratio on the true ratio of the chip's sample clock to
// the sound card's clock, so the pitch stays right while the demodulated ring
// stays near the middle of its fill window.
//
// Why not the plain fill-window rule alone: one step unit (1/256 input sample
// per output frame) is 846 ppm of 1182, the true ratio usually lies between
// two units, and the fill level seen by a run jitters by several thousand
// samples (blocks of 4096 demodulated at once, audio pulls 80 or 100 ms
// apart, late runs on a busy machine). The rule answers each excursion with
// one or more whole units and forgets why, so the step wanders in plateaus of
// several units (0.2 to 0.5 % of pitch, and far more after a stall).
//
// What this does instead, once per processing run:
// - the backlog (ring fill plus samples still queued) is smoothed over about
//   16 runs, with each run's deviation clipped, and a proportional-integral
//   loop moves a fine ratio (2^-32 of a unit) on it: the integral is the
//   estimate of the true ratio, kept over the whole play;
// - after the first lock the chip's rate is measured by a straight-line fit
//   of the frames delivered against the time of the runs: the frames arrive
//   smoothly in time while the backlog seen by a run jitters with the audio
//   pulls. The fit sets the estimate after 32 runs (about 3 s), which brings
//   a nominal step far from the true one (1200 against 1209.4 in the classic
//   path) within some 0.05 % of it, and again after 192 runs (18 s) to within
//   about 0.01 %. The sound card's clock is taken as exact here; the loop
//   absorbs its error;
// - the fill-window rule (thresholds, hysteresis and divisor as before) stays
//   as the outer guard: when the smoothed fill leaves the window its
//   correction is added to the estimate;
// - a jump of the backlog (a stall of the GUI thread, a burst of pulls, a
//   stall of the stream) does not steer the ratio: the ratio is held until
//   five runs in a row see no jump; then a backlog more than 4096 samples
//   from the middle of the window is brought there once, by skipping samples
//   or inserting silence, and a nearer one is left where it is while the
//   loop's aim glides back to the middle at a quarter unit per run (some
//   200 ppm of pitch; a skip would click). The first lock after start and the
//   first fit are treated the same way.
//
// Plain state; the owner passes the time of each run. No allocation; called
// from the owner's thread only.
#pragma once

#include <cstdint>

#include "demod_ring.h"

namespace radio_dsp {

class RatioTracker {
  public:
    // Backlog the loop aims at: the middle of the fill window plus the half
    // block that waits in the queue on average (kTargetBacklog for the
    // programs' window, target_backlog() for the tracker's own).
    static constexpr int kTargetBacklog =
        (kDefaultLowerThreshold + kDefaultUpperThreshold) / 2 + 2048;
    // A backlog change between two runs beyond this is a jump, not jitter
    // (normal runs move it by at most about 5000).
    static constexpr int kJump = 3 * 4096;
    // Runs without a jump before the ratio is steered again.
    static constexpr int kQuietRuns = 5;
    // Runs of the straight-line fit after the first lock: the estimate is
    // set from it after the first and again after the second number.
    static constexpr int kFitRuns = 32;
    static constexpr int kRefitRuns = 192;
    // After a jump the backlog is realigned when it is further than this
    // from the target.
    static constexpr int kRealignDistance = 4096;

    // What the run must do before resampling.
    struct Decision {
        // Input samples to skip (> 0) or samples of silence to insert (< 0)
        // so that the backlog meets its target.
        int adjust = 0;
        // Correction of the outer guard in step units (0 most runs).
        int guard = 0;
    };

    explicit RatioTracker(RateMatchParams params = kQv01RateMatch);

    // One processing run. `backlog`: demodulated samples not yet consumed
    // (negative when the ring ran dry) plus the frames still queued.
    // `delivered`: frames the chip has delivered so far (demodulated, skipped
    // and still queued), at `time_s` seconds on a steady clock. Sets the
    // resampler's ratio for this run (and moves its guard thresholds) and
    // returns what to adjust before resampling.
    Decision update(int backlog, double delivered, double time_s, Resampler& resampler);

    // The owner changed the backlog by `samples` on its own since the last
    // update (silence for a ring that ran dry, a skip that could not be made
    // whole). Treated like a jump: the ratio is held until the backlog is
    // steady again.
    void note_unplanned(int samples);

    int target_backlog() const { return target_; }
    // Estimate of the true ratio, in step units.
    double estimate() const { return estimate_; }
    // True while the ratio is held after a jump (and before the first lock).
    bool settling() const { return settling_; }
    // True until the straight-line fit after the first lock is done.
    bool fitting() const { return fit_runs_ >= 0; }
    // Times the fit has set the estimate (0, 1 or 2).
    int fits() const { return fits_; }

  private:
    int target_;
    double estimate_;
    double smoothed_ = 0.0;
    double aim_;  // backlog the loop steers to, gliding to the target
    int last_backlog_ = 0;
    bool have_last_ = false;
    bool settling_ = true;
    int quiet_ = 0;
    unsigned runs_ = 0;
    int recent_[kQuietRuns] = {};  // the last backlogs
    // Straight-line fit of the frames delivered against time (from the
    // fit's first run); -1 once done.
    int fit_runs_ = 0;
    int fits_ = 0;
    double fit_t0_ = 0.0, fit_y0_ = 0.0;
    double fit_sx_ = 0.0, fit_sy_ = 0.0, fit_sxx_ = 0.0, fit_sxy_ = 0.0;
};

}  // namespace radio_dsp
