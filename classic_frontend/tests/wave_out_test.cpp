// The wave output against a PulseAudio null sink (run under with_pulse.sh):
// its refusals, a failed open, and done notifications that follow the
// playback clock.
#include "wave_out.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <string>
#include <vector>

#include "done_queue.h"

using namespace classic;

namespace {

struct Buffers {
    std::vector<int16_t> a = std::vector<int16_t>(kWaveBufferBytes / 2);
    std::vector<int16_t> b = std::vector<int16_t>(kWaveBufferBytes / 2);
    WaveHeader h1, h2;
    Buffers() {
        for (int i = 0; i < kWaveBufferBytes / 4; ++i)
            a[2 * i] = b[2 * i] =
                static_cast<int16_t>(8000 * std::sin(2 * M_PI * 1000 * i / 44100.0));
        h1.data = a.data();
        h2.data = b.data();
        h1.length = h2.length = kWaveBufferBytes;
    }
};

}  // namespace

TEST(WaveOut, RefusesWhatItCannotPlay) {
    WaveOut out;
    Buffers bufs;
    EXPECT_EQ(out.write(&bufs.h1), -EINVAL);  // not prepared
    ASSERT_EQ(out.prepare(&bufs.h1), 0);
    EXPECT_EQ(out.write(&bufs.h1), -ENODEV);  // not open
    WaveHeader odd;
    odd.data = bufs.a.data();
    odd.length = 6;
    EXPECT_EQ(out.prepare(&odd), -EINVAL);

    DoneQueue done;
    ASSERT_EQ(out.open([&](WaveHeader* h) { done.push(h); }), 0) << out.error_text();
    EXPECT_EQ(out.open([](WaveHeader*) {}), -EALREADY);
    ASSERT_EQ(out.write(&bufs.h1), 0);
    EXPECT_EQ(out.write(&bufs.h1), -EBUSY);  // still queued
    EXPECT_EQ(out.in_flight(), 1);
    out.close();
    EXPECT_FALSE(bufs.h1.queued);  // dropped, no callback
    EXPECT_EQ(out.write(&bufs.h1), -ENODEV);
}

TEST(WaveOut, FailedOpenSaysWhy) {
    const char* saved = std::getenv("PULSE_SERVER");
    const std::string keep = saved ? saved : "";
    setenv("PULSE_SERVER", "unix:/nonexistent/qv-no-server", 1);
    WaveOut out;
    const int rc = out.open([](WaveHeader*) {});
    if (saved)
        setenv("PULSE_SERVER", keep.c_str(), 1);
    else
        unsetenv("PULSE_SERVER");
    EXPECT_EQ(rc, -ECONNREFUSED);
    EXPECT_FALSE(out.is_open());
    EXPECT_FALSE(out.error_text().empty());
}

// The stream is lost while it plays (its sink is removed): the output says
// so once, refuses buffers, and plays again after close + open.
TEST(WaveOut, LostStreamIsReportedAndReopens) {
    WaveOut out;
    Buffers bufs;
    DoneQueue done;
    std::mutex m;
    std::condition_variable cv;
    int lost = 0;
    auto on_done = [&](WaveHeader* h) { done.push(h); };
    auto on_lost = [&] {
        std::lock_guard<std::mutex> lock(m);
        ++lost;
        cv.notify_one();
    };
    ASSERT_EQ(out.open(on_done, on_lost), 0) << out.error_text();
    ASSERT_EQ(out.prepare(&bufs.h1), 0);
    ASSERT_EQ(out.prepare(&bufs.h2), 0);
    ASSERT_EQ(out.write(&bufs.h1), 0);
    ASSERT_EQ(out.write(&bufs.h2), 0);
    ASSERT_NE(done.pop(5000).header, nullptr);
    // The sink goes away (no other to move the stream to), then comes back.
    ASSERT_EQ(std::system("pactl unload-module module-null-sink && "
                          "pactl load-module module-null-sink sink_name=qvnull rate=44100 "
                          "channels=2 >/dev/null && pactl set-default-sink qvnull"),
              0);
    {
        std::unique_lock<std::mutex> lock(m);
        ASSERT_TRUE(cv.wait_for(lock, std::chrono::seconds(5), [&] { return lost > 0; }));
    }
    EXPECT_EQ(lost, 1);
    EXPECT_NE(out.error_text().find("lost"), std::string::npos) << out.error_text();
    EXPECT_EQ(out.in_flight(), 0);
    EXPECT_EQ(out.write(&bufs.h1), -ENODEV);
    out.close();
    ASSERT_EQ(out.open(on_done, on_lost), 0) << out.error_text();
    ASSERT_EQ(out.write(&bufs.h1), 0);
    EXPECT_NE(done.pop(5000).header, nullptr);
}

// Two buffers in flight, each written again at once when done, as the form
// does. The done rhythm must be the audio clock's: one per 4096 frames, each
// only after the playback position has passed the buffer's end.
TEST(WaveOut, DoneFollowsThePlaybackClock) {
    WaveOut out;
    Buffers bufs;
    DoneQueue done;
    ASSERT_EQ(out.open([&](WaveHeader* h) { done.push(h); }), 0) << out.error_text();
    ASSERT_EQ(out.prepare(&bufs.h1), 0);
    ASSERT_EQ(out.prepare(&bufs.h2), 0);
    ASSERT_EQ(out.write(&bufs.h1), 0);
    ASSERT_EQ(out.write(&bufs.h2), 0);

    constexpr int kDones = 40;
    std::vector<double> t_ms;
    int64_t finished = 0;
    for (int n = 0; n < kDones; ++n) {
        // An idle null sink may hold its first 2 s block before it plays.
        const DoneQueue::Done d = done.pop(n == 0 ? 5000 : 1000);
        ASSERT_NE(d.header, nullptr) << "no done after " << n;
        finished += kWaveBufferBytes;
        // Played, not merely accepted: the position is past this buffer.
        EXPECT_GE(out.played_bytes(), finished) << "done " << n;
        t_ms.push_back(std::chrono::duration<double, std::milli>(d.at.time_since_epoch()).count());
        ASSERT_EQ(out.write(d.header), 0);
        EXPECT_LE(out.in_flight(), 2);
    }
    out.close();

    std::vector<double> gaps;
    for (size_t i = 1; i < t_ms.size(); ++i) gaps.push_back(t_ms[i] - t_ms[i - 1]);
    double sum = 0;
    for (double g : gaps) sum += g;
    const double mean = sum / gaps.size();
    std::vector<double> sorted = gaps;
    std::sort(sorted.begin(), sorted.end());
    std::printf(
        "done interval over %zu: mean %.2f ms, median %.2f, min %.2f, max %.2f "
        "(4096 frames at 44.1 kHz: 92.88 ms); underflows %d\n",
        gaps.size(), mean, sorted[sorted.size() / 2], sorted.front(), sorted.back(),
        out.underflows());
    // Paced by playback, with margins a busy machine keeps: the dones cannot
    // come faster than the buffers play (a late first done shortens the span
    // a little), a late writer only stretches it; most gaps are one buffer's
    // time, so dones that came in bursts, or on acceptance, show in the median.
    constexpr double kBufferMs = 1000.0 * 4096 / 44100;
    EXPECT_GE(mean / kBufferMs, 0.75);
    EXPECT_LE(mean / kBufferMs, 3.0);
    EXPECT_GE(sorted[sorted.size() / 2] / kBufferMs, 0.5) << "dones came in bursts";
    EXPECT_LE(sorted[sorted.size() / 2] / kBufferMs, 1.5);
}
