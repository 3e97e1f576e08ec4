// The sample stream on endpoint 0x88: pacing at the chip's output rate,
// FIFO loss when the host stops reading, timeouts and the selected channel.
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <thread>

#include "eventually.h"
#include "vboard_test_util.h"

namespace vbtest {
namespace {

using Clock = std::chrono::steady_clock;

// CIC2 20 x CICN 4 x DFIR1 2 x DFIR2 2 = 320: 66 MHz / 320 = 206250 frames/s.
constexpr double kRate = 66.0e6 / 320;

class StreamTest : public BoardTest {
  protected:
    void start(vboard::Pattern pattern, uint8_t channel = 0) {
        vboard::set_pattern(pattern);
        boot();
        const uint16_t base = uint16_t(0x100 * channel);
        write_reg(0, base + 0x24, 0x1300);
        write_reg(0, base + 0x25, 0x0300);
        write_reg(0, base + 0x26, 0x0001);
        write_reg(0, base + 0x28, 0x0001);
        write_reg(0, 5, 0x8001);
        stream_control(channel, 1);
    }
    // One read of up to `max` bytes, appended to `got`; returns the libusb result.
    int read(Bytes& got, int max = 2048, unsigned timeout_ms = 300) {
        Bytes buf(static_cast<size_t>(max));
        int n = 0;
        const int rc = libusb_bulk_transfer(h_, 0x88, buf.data(), max, &n, timeout_ms);
        got.insert(got.end(), buf.begin(), buf.begin() + n);
        return rc;
    }
    static uint32_t counter_at(const Bytes& b, size_t frame) {
        const uint8_t* p = b.data() + 4 * frame;
        return uint32_t(p[0] | p[1] << 8) | uint32_t(p[2] | p[3] << 8) << 16;
    }
    // Frames the counter pattern says are missing from `b`: the holes between
    // rising frame numbers from 0, plus those the chip produced after the last
    // frame read. With the stream off and drained this is exactly the FIFO loss.
    static uint64_t counter_missing(const Bytes& b, uint64_t produced) {
        EXPECT_EQ(b.size() % 4, 0u);
        const size_t frames = b.size() / 4;
        if (frames == 0) return produced;
        EXPECT_EQ(counter_at(b, 0), 0u);
        for (size_t k = 1; k < frames; ++k) {
            if (counter_at(b, k) <= counter_at(b, k - 1)) {
                ADD_FAILURE() << "counter goes back at frame " << k;
                return 0;
            }
        }
        const uint64_t last = counter_at(b, frames - 1);
        return (last + 1 - frames) + (produced - (last + 1));
    }
};

TEST_F(StreamTest, PacedAtTheChipRateAndEveryByteAccountedFor) {
    const Clock::time_point t0 = Clock::now();
    start(vboard::Pattern::counter);
    Bytes got;
    got.reserve(size_t(kRate * 4 * 1.5));
    while (Clock::now() - t0 < std::chrono::seconds(1)) ASSERT_EQ(read(got), 0);
    stream_control(0, 0);
    const double elapsed = std::chrono::duration<double>(Clock::now() - t0).count();
    while (read(got, 2048, 20) == 0) {
    }
    const vboard::Stats st = vboard::stats();

    // Functional check of the pacing, not a speed test: never ahead of the
    // chip's rate (one chunk aside), and not far behind it even when a busy
    // machine wakes the producer late.
    const double ratio = double(st.frames_produced) / (kRate * elapsed);
    std::printf("produced %.4f of the chip rate over %.3f s\n", ratio, elapsed);
    EXPECT_LE(ratio, 1.01);
    EXPECT_GE(ratio, 0.5);
    EXPECT_EQ(st.fifo_bytes_delivered, got.size());
    EXPECT_EQ(st.fifo_bytes_delivered + st.fifo_bytes_lost, 4 * st.frames_produced);
    EXPECT_EQ(4 * counter_missing(got, st.frames_produced), st.fifo_bytes_lost);
}

TEST_F(StreamTest, FifoLosesWholeFramesWhenTheHostStopsReading) {
    start(vboard::Pattern::counter);
    Bytes got;
    for (int k = 0; k < 10; ++k) ASSERT_EQ(read(got), 0);
    // The host stops reading: 40 ms fill the FIFO, then the chip goes on and
    // its frames are dropped, several FIFOs' worth.
    ASSERT_TRUE(
        eventually([] { return vboard::stats().fifo_bytes_lost >= 4 * vboard::kStreamFifoBytes; }));
    vboard::Stats st = vboard::stats();
    EXPECT_EQ(st.fifo_level, vboard::kStreamFifoBytes);
    // Keep up again for a while, so frames after the hole arrive, then drain.
    const size_t resume = got.size() + vboard::kStreamFifoBytes + 16384;
    while (got.size() < resume) ASSERT_EQ(read(got), 0);
    stream_control(0, 0);
    while (read(got, 2048, 20) == 0) {
    }
    st = vboard::stats();
    EXPECT_EQ(st.fifo_level, 0u);
    EXPECT_EQ(st.fifo_bytes_delivered + st.fifo_bytes_lost, 4 * st.frames_produced);
    // The counter shows the hole, and what is missing is exactly the loss.
    bool hole = false;
    for (size_t k = 1; k < got.size() / 4 && !hole; ++k)
        hole = counter_at(got, k) != counter_at(got, k - 1) + 1;
    EXPECT_TRUE(hole);
    EXPECT_EQ(4 * counter_missing(got, st.frames_produced), st.fifo_bytes_lost);
}

TEST_F(StreamTest, TimeoutsReturnWhatWasMoved) {
    vboard::set_pattern(vboard::Pattern::counter);
    boot();
    Bytes got;
    EXPECT_EQ(read(got, 2048, 30), LIBUSB_ERROR_TIMEOUT);  // stream not enabled
    EXPECT_TRUE(got.empty());

    start(vboard::Pattern::counter);
    vboard::cut_next_stream_read(1000);
    const Clock::time_point t0 = Clock::now();
    EXPECT_EQ(read(got, 2048, 100), LIBUSB_ERROR_TIMEOUT);
    EXPECT_GE(Clock::now() - t0, std::chrono::milliseconds(100));
    EXPECT_EQ(got.size(), 1000u);
    // The next read goes on right after the 250 frames taken.
    Bytes next;
    ASSERT_EQ(read(next, 4), 0);
    ASSERT_EQ(next.size(), 4u);
    EXPECT_EQ(counter_at(next, 0), 250u);

    // Receiver stopped: what is queued drains, then reads time out.
    write_reg(0, 5, 0x8000);
    int rc = 0;
    while ((rc = read(next, 2048, 30)) == 0) {
    }
    EXPECT_EQ(rc, LIBUSB_ERROR_TIMEOUT);
}

TEST_F(StreamTest, CarriesTheSelectedChannelsTone) {
    // Channel 2 runs at 206250 frames/s; channel 0 (all ratios 1) would be far
    // faster. The tone: +10 kHz at amplitude 16384 (-6 dBFS), phase 0 at start.
    start(vboard::Pattern::tone, 2);
    Bytes got;
    while (got.size() < 4 * 400) ASSERT_EQ(read(got), 0);
    const double step = 2 * M_PI * 10.0e3 / kRate;
    for (size_t k = 0; k < 400; ++k) {
        const int16_t i = int16_t(got[4 * k] | got[4 * k + 1] << 8);
        const int16_t q = int16_t(got[4 * k + 2] | got[4 * k + 3] << 8);
        EXPECT_NEAR(i, 16384 * std::cos(step * double(k)), 2.0) << k;
        EXPECT_NEAR(q, 16384 * std::sin(step * double(k)), 2.0) << k;
    }
}

TEST_F(StreamTest, CommandsAndStreamShareOneHandle) {
    // The host's stream thread reads 0x88 while its GUI thread sends commands.
    start(vboard::Pattern::counter);
    std::atomic<bool> stop{false};
    Bytes got;
    std::thread reader([&] {
        while (!stop.load()) {
            if (read(got) != 0) break;
        }
    });
    const Clock::time_point t0 = Clock::now();
    for (uint16_t k = 0; Clock::now() - t0 < std::chrono::milliseconds(100); ++k) {
        write_reg(0, 46, k);  // NCO low half, as tuning does
        write_reg(0, 5, 0x8003);
        ASSERT_EQ(read_reg(0, 46), k);
    }
    stop = true;
    reader.join();
    stream_control(0, 0);
    while (read(got, 2048, 20) == 0) {
    }
    const vboard::Stats st = vboard::stats();
    EXPECT_GT(got.size(), 0u);
    EXPECT_EQ(st.fifo_bytes_delivered, got.size());
    EXPECT_EQ(4 * counter_missing(got, st.frames_produced), st.fifo_bytes_lost);
}

}  // namespace
}  // namespace vbtest
