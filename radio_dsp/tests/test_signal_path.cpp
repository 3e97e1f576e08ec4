// Order of operations of the two processing runs and their board traffic.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "signal_path.h"

namespace radio_dsp {
namespace {

// Queue holding `frames` frames of a slow carrier; optionally fails reads.
class FakeQueue : public SampleSource {
  public:
    explicit FakeQueue(int frames, bool fail = false) : frames_(frames), fail_(fail) {}
    int samples_available() override { return frames_; }
    int read_stream(int queue, int n, unsigned char* dst) override {
        ++reads;
        if (fail_ || queue != 0 || n / 4 > frames_) return -22;
        std::vector<int16_t> iq(n / 2);
        for (int k = 0; k < n / 4; ++k, ++t_) {
            iq[2 * k] = static_cast<int16_t>(10000 * std::cos(0.01 * t_));
            iq[2 * k + 1] = static_cast<int16_t>(10000 * std::sin(0.01 * t_));
        }
        std::memcpy(dst, iq.data(), n);
        frames_ -= n / 4;
        return 0;
    }
    int reads = 0;

  private:
    int frames_;
    bool fail_;
    long t_ = 0;
};

struct Recorder : SignalPathObserver {
    void spectrum_ready(const double*, int len) override {
        log += "spectrum(" + std::to_string(len) + ") ";
    }
    void rate_matched(int step, int avail, int change) override {
        log += "rate(" + std::to_string(step) + "," + std::to_string(avail) + "," +
               std::to_string(change) + ") ";
    }
    void frequency_corrected(double) override { log += "freq "; }
    void block_ready(int16_t*) override { log += "submit "; }
    void image_ready(const ConstellationImage& img) override {
        log += "image ";
        seen_pixel = img.data()[2 * 4 + 2];  // pixel (0, 2): red 4 in the test pattern
    }
    void audio_trace(const int16_t*) override { log += "trace "; }
    void run_done() override { log += "flags "; }
    void underrun() override { log += "underrun "; }
    std::string log;
    int seen_pixel = -1;
};

TEST(SignalPath, RadioPanelRunOrder) {
    SignalPath path(kQv01SignalPath);
    FakeQueue queue(2 * 4096 + 100);
    Recorder rec;
    std::vector<std::pair<int, int>> writes;
    path.set_source(&queue);
    path.set_observer(&rec);
    path.set_register_writer([&](int a, int v) {
        writes.emplace_back(a, v);
        rec.log += "reg" + std::to_string(a) + " ";
    });
    std::vector<int16_t> out(2 * 4096, 77);
    path.produce_audio(out.data(), false, true);
    // Two blocks (8192 frames) cannot cover a run (its last frame starts 18907
    // samples on and reads 122): the ring is topped up with silence, and the
    // ratio stays nominal until the backlog has been seen steady.
    EXPECT_EQ(rec.log,
              "spectrum(4096) rate(1182,19029,0) freq reg46 reg47 reg5 image trace "
              "flags ");
    EXPECT_EQ(path.underruns(), 1u);
    EXPECT_EQ(queue.samples_available(), 100);  // the partial block stays queued
    EXPECT_EQ(rec.seen_pixel, 4);               // the image is shown before it fades
    EXPECT_EQ(path.image().data()[2 * 4 + 2], 1);
    for (int i = 0; i < 4096; ++i) ASSERT_EQ(out[2 * i], out[2 * i + 1]);
    EXPECT_EQ(writes.back(), std::make_pair(5, 0x8003));
}

TEST(SignalPath, RunsWithoutBoardAndStopsAtFailedRead) {
    SignalPath path(kQv01SignalPath);
    std::vector<int16_t> out(2 * 4096, 77);
    path.produce_audio(out.data(), false, true);  // no source, no writer
    for (int16_t v : out) ASSERT_EQ(v, 0);        // a silent ring gives silence
    EXPECT_EQ(path.frequency_hz(), 100e6);

    FakeQueue failing(3 * 4096, true);
    BoardSampleSource<FakeQueue> adapter(&failing);
    path.set_source(&adapter);
    EXPECT_EQ(path.demodulate_queued(false), 0);
    EXPECT_EQ(failing.reads, 1);
}

TEST(SignalPath, ClassicUnderrunStopsAtBelow10000) {
    SignalPath path(kClassicSignalPath);
    Recorder rec;
    std::vector<std::pair<int, int>> writes;
    path.set_observer(&rec);
    path.set_register_writer([&](int a, int v) { writes.emplace_back(a, v); });
    std::vector<int16_t> out(2 * 4096, 77);
    path.ring().write_index = 9999;
    EXPECT_EQ(path.on_wave_done(out.data(), false, false), 1);
    EXPECT_EQ(rec.log, "underrun ");
    ASSERT_EQ(writes.size(), 1u);
    EXPECT_EQ(writes[0], std::make_pair(5, 0x8000));
    EXPECT_EQ(out[0], 77);  // buffer not refilled

    rec.log.clear();
    path.ring().write_index = 10000;
    EXPECT_EQ(path.on_wave_done(out.data(), false, false), 0);
    // Fill 10000 plays on; the step is shown only when it changes.
    EXPECT_EQ(rec.log, "submit trace image flags ");
    for (int i = 0; i < 4096; ++i) ASSERT_EQ(out[2 * i + 1], 0);  // right channel silent
    EXPECT_EQ(path.underruns(), 1u);  // 10000 samples do not cover the run's 18872
}

// Stand-in with the board's member signatures.
struct FakeBoard {
    void write_reg(int a, int v) { writes.emplace_back(a, v); }
    std::vector<std::pair<int, int>> writes;
};

TEST(SignalPath, TuningUsesTheConfiguredClock) {
    FakeBoard board;
    std::vector<std::pair<int, int>>& writes = board.writes;
    const RegisterWriter writer = board_register_writer(&board);
    EXPECT_FALSE(board_register_writer<FakeBoard>(nullptr));
    SignalPath classic(kClassicSignalPath);
    EXPECT_EQ(classic.frequency_hz(), 0.0);
    classic.set_register_writer(writer);
    classic.set_frequency(100.9e6);
    SignalPath qv(kQv01SignalPath);
    qv.set_register_writer(writer);
    qv.set_frequency(105.7e6);
    const std::vector<std::pair<int, int>> expected{{46, 0x8F5C}, {47, 0x85C2}, {5, 0x8003},
                                                    {46, 0xE59F}, {47, 0x99FC}, {5, 0x8003}};
    EXPECT_EQ(writes, expected);
}

}  // namespace
}  // namespace radio_dsp

namespace radio_dsp {
namespace {

// A queue whose block b carries a carrier stepping 0.001 * (b + 1) rad per frame,
// so each ring entry tells which block it came from. Frames become available
// as the test releases them.
class NumberedBlocks : public SampleSource {
  public:
    void release(int frames) { released_ += frames; }
    int samples_available() override { return released_ - next_ * kBlockFrames; }
    int read_stream(int queue, int n, unsigned char* dst) override {
        if (queue != 0 || n != kBlockBytes || samples_available() < kBlockFrames) return -22;
        std::vector<int16_t> iq(2 * kBlockFrames);
        const double step = 0.001 * (next_ + 1);
        for (int k = 0; k < kBlockFrames; ++k, phase_ += step) {
            iq[2 * k] = static_cast<int16_t>(std::lround(20000 * std::cos(phase_)));
            iq[2 * k + 1] = static_cast<int16_t>(std::lround(20000 * std::sin(phase_)));
        }
        std::memcpy(dst, iq.data(), n);
        ++next_;
        return 0;
    }

  private:
    int released_ = 0;
    int next_ = 0;
    double phase_ = 0.0;
};

TEST(SignalPath, LongStallNeverLapsTheRingAndSkipsTheOldestOnce) {
    SignalPath path(kClassicSignalPath);
    NumberedBlocks queue;
    queue.release(20 * kBlockFrames);  // a stall left 81920 frames queued
    path.set_source(&queue);
    // The ring takes 15 blocks (a block spare); the other 5 wait in the queue.
    EXPECT_EQ(path.demodulate_queued(false), 15);
    EXPECT_EQ(path.fill_level(), 15 * kBlockFrames);
    EXPECT_EQ(queue.samples_available(), 5 * kBlockFrames);
    const DemodRing& ring = path.ring();
    EXPECT_NEAR(ring.at(ring.read_index + 10), 0.001, 1e-4);
    EXPECT_NEAR(ring.at(static_cast<uint16_t>(ring.write_index - 1)), 0.015, 1e-4);
    // Steady runs after it: once the backlog has stopped jumping, the oldest
    // samples are skipped, the queued blocks first, to bring the backlog to
    // the middle of the fill window.
    std::vector<int16_t> out(2 * 4096);
    for (int run = 0; run < 8; ++run) {
        queue.release(18750);  // what a run consumes at the nominal step
        ASSERT_EQ(path.on_wave_done(out.data(), false, false), 0) << run;
        EXPECT_GE(path.fill_level(), 0);
        EXPECT_LT(path.fill_level(), kDemodRingSize - kBlockFrames);
    }
    EXPECT_GT(path.dropped_blocks(), 5u);
    EXPECT_NEAR(path.fill_level() + 18750 + queue.samples_available(), RatioTracker::kTargetBacklog,
                4096 + 18750 / 2);
    EXPECT_EQ(path.underruns(), 0u);
}

}  // namespace
}  // namespace radio_dsp
