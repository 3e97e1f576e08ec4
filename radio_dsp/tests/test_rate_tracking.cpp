// The rate matching against simulated clocks: a chip whose sample clock is off
// by some ppm delivers jittered 512-frame transfers into a 512 KiB queue, and
// an audio device drains its buffer at exactly 44.1 kHz and pulls a block
// whenever it has room, on 20 ms timer ticks of a GUI thread that is sometimes
// late and once stalls for a second. The ratio the resampler uses is checked
// against the true one per second of audio, as a listener hears pitch.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "signal_path.h"

namespace radio_dsp {
namespace {

// Deterministic on every platform (the standard distributions are not).
class Lcg {
  public:
    explicit Lcg(uint64_t seed) : s_(seed) {}
    double uniform() {  // [0, 1)
        s_ = s_ * 6364136223846793005ull + 1442695040888963407ull;
        return double(s_ >> 11) * (1.0 / 9007199254740992.0);
    }

  private:
    uint64_t s_;
};

// The board's queue fed by a chip clock: transfer i of 512 frames lands at
// i * 512 / rate plus up to 2 ms of jitter; a full queue drops transfers.
class ClockedQueue : public SampleSource {
  public:
    explicit ClockedQueue(double rate_hz) : rate_hz_(rate_hz), rng_(11) {}
    void advance_to(double t) {
        for (;;) {
            const double due = double(next_) * kTransfer / rate_hz_ + 0.002 * rng_.uniform();
            if (due > t) break;
            ++next_;
            if (queued_ + kTransfer <= kQueueFrames) queued_ += kTransfer;
        }
    }
    int samples_available() override { return queued_; }
    int read_stream(int queue, int n, unsigned char* dst) override {
        if (queue != 0 || n % 4 != 0 || n / 4 > queued_) return -22;
        // A steady carrier a little off the tuning: the content does not matter here.
        auto* iq = reinterpret_cast<int16_t*>(dst);
        for (int k = 0; k < n / 4; ++k, phase_ += 0.05) {
            iq[2 * k] = static_cast<int16_t>(10000 * std::cos(phase_));
            iq[2 * k + 1] = static_cast<int16_t>(10000 * std::sin(phase_));
        }
        queued_ -= n / 4;
        return 0;
    }

  private:
    static constexpr int kTransfer = 512;
    static constexpr int kQueueFrames = 131072;  // 512 KiB
    double rate_hz_;
    Lcg rng_;
    uint64_t next_ = 0;
    int queued_ = 0;
    double phase_ = 0.0;
};

struct ChainRun {
    std::vector<double> window_error;  // per 44100 output frames: mean ratio / true ratio - 1
    double stall_end_s = 0.0;          // in output seconds
    std::vector<int> backlog;          // ring fill plus queue at each block's run
};

// Runs `seconds` of audio. The device holds `device_blocks` blocks (Qt's pulse
// buffer: 4; the classic wave output: 2 in flight); the GUI thread ticks every
// 20 ms, 3 % of the ticks up to 60 ms late, and stalls for 1 s at `stall_at`.
ChainRun run_chain(const SignalPathConfig& config, double chip_rate_hz, int device_blocks,
                   double seconds, double stall_at) {
    SignalPath path(config);
    ClockedQueue queue(chip_rate_hz);
    path.set_source(&queue);
    double t = 0.0;  // seconds of the simulated steady clock
    path.set_clock([&t] { return t; });
    const bool classic = config.channels == ChannelLayout::kLeftOnly;
    const double true_step = chip_rate_hz / 44100.0 * 256.0;
    std::vector<int16_t> out(2 * kAudioFrames);
    std::vector<double> ratio_per_block;
    std::vector<int> backlog;
    Lcg rng(5);
    // The radio panel starts the audio once 10000 frames are queued; the
    // classic form starts with both of its buffers submitted.
    t = 10240.0 / chip_rate_hz;
    double device = classic ? device_blocks * kAudioFrames : 0.0;  // frames in the device
    double output_s = 0.0, stall_end_output_s = -1.0;
    bool stalled = false;
    while (output_s < seconds) {
        double next = t + 0.020;
        if (rng.uniform() < 0.03) next += 0.060 * rng.uniform();
        if (!stalled && next >= stall_at) {
            next = stall_at + 1.0;
            stalled = true;
            stall_end_output_s = output_s;
        }
        device = std::max(0.0, device - (next - t) * 44100.0);
        t = next;
        queue.advance_to(t);
        while (device + kAudioFrames <= device_blocks * kAudioFrames) {
            device += kAudioFrames;
            if (classic) {
                EXPECT_EQ(path.on_wave_done(out.data(), false, false), 0)
                    << "underrun stop at " << t;
            } else {
                path.produce_audio(out.data(), false, false);
            }
            ratio_per_block.push_back(path.resampler().ratio());
            // As the run found it: what is left plus what the block took.
            backlog.push_back(path.fill_level() + queue.samples_available() +
                              int(kAudioFrames * path.resampler().ratio() / 256));
            output_s += kAudioFrames / 44100.0;
        }
    }
    ChainRun run;
    run.stall_end_s = stall_end_output_s;
    run.backlog = backlog;
    const double per_window = 44100.0 / kAudioFrames;
    for (int w = 0; (w + 1) * per_window <= ratio_per_block.size(); ++w) {
        const double a = w * per_window, b = (w + 1) * per_window;
        double sum = 0.0;
        for (int i = int(a); i < int(std::ceil(b)); ++i)
            sum += ratio_per_block[i] * (std::min(b, i + 1.0) - std::max(a, double(i)));
        run.window_error.push_back(sum / per_window / true_step - 1.0);
    }
    return run;
}

// After the first 5 s: median error at most 0.1 %, the largest at most 0.3 %,
// and from 5 s after the stall on every second within 0.2 %.
void expect_pitch_held(const ChainRun& run) {
    std::vector<double> counted;
    std::string errors;  // every second, in 0.01 %
    double worst = 0.0, worst_after_stall = 0.0;
    for (size_t w = 0; w < run.window_error.size(); ++w) {
        const double e = std::fabs(run.window_error[w]);
        errors += std::to_string(std::lround(run.window_error[w] * 1e4)) + " ";
        if (w < 5) continue;
        const bool recovering = w + 1 > run.stall_end_s && w < run.stall_end_s + 5.0;
        if (!recovering) {
            counted.push_back(e);
            worst = std::max(worst, e);
        }
        if (w >= run.stall_end_s + 5.0) worst_after_stall = std::max(worst_after_stall, e);
    }
    ASSERT_GT(counted.size(), 20u);
    std::nth_element(counted.begin(), counted.begin() + counted.size() / 2, counted.end());
    EXPECT_LE(counted[counted.size() / 2], 0.001) << errors;
    EXPECT_LE(worst, 0.003) << errors;
    EXPECT_LE(worst_after_stall, 0.002) << "stall ended at " << run.stall_end_s << " s: " << errors;
}

TEST(RateTracking, RadioPanelHoldsThePitchThroughJitterAndAStall) {
    // The chip's true rate lies half a step unit from the nominal 1182.
    expect_pitch_held(run_chain(kQv01SignalPath, 66e6 / 324 * (1 + 30e-6), 4, 40.0, 20.0));
}

TEST(RateTracking, ClassicFormHoldsThePitchThroughJitterAndAStall) {
    // 40 MHz / 192: 9.4 step units above the nominal 1200.
    expect_pitch_held(run_chain(kClassicSignalPath, 40e6 / 192 * (1 - 50e-6), 2, 40.0, 20.0));
}

TEST(RateTracking, ANarrowerFillWindowHoldsThePitchAtItsOwnBacklog) {
    // A window low enough that a block is played some 120 ms after its
    // samples arrived: the loop aims at its middle plus the half block queued.
    SignalPathConfig config = kQv01SignalPath;
    config.rate.lower_threshold = 21000;
    config.rate.upper_threshold = 25000;
    const RatioTracker tracker(config.rate);
    EXPECT_EQ(tracker.target_backlog(), 23000 + 2048);
    const ChainRun run = run_chain(config, 66e6 / 324 * (1 + 30e-6), 2, 40.0, 20.0);
    expect_pitch_held(run);
    std::vector<int> settled(run.backlog.begin() + run.backlog.size() / 4,
                             run.backlog.begin() + run.backlog.size() / 2);  // 10 to 20 s
    std::sort(settled.begin(), settled.end());
    EXPECT_NEAR(settled[settled.size() / 2], tracker.target_backlog(), 2048);
}

}  // namespace
}  // namespace radio_dsp
