// The stream thread and the ring, fed through the fake port's endpoint 0x88.
#include <dirent.h>
#include <gtest/gtest.h>

#include <fstream>
#include <future>
#include <random>

#include "fake_usb_port.h"
#include "qv_board.h"

using namespace qv;
using Bytes = std::vector<uint8_t>;

namespace {

// Byte k of the test stream; any misplaced or repeated byte shows.
uint8_t pattern(uint64_t k) { return static_cast<uint8_t>(k ^ (k >> 8) ^ (k >> 16) ^ (k >> 24)); }

Bytes stream_bytes(uint64_t start, int n) {
    Bytes b(n);
    for (int i = 0; i < n; ++i) b[i] = pattern(start + i);
    return b;
}

// Index of the first byte of `got` that is not stream byte start+i, or -1.
int64_t first_mismatch(const Bytes& got, uint64_t start) {
    for (size_t i = 0; i < got.size(); ++i)
        if (got[i] != pattern(start + i)) return static_cast<int64_t>(i);
    return -1;
}

class Stream : public ::testing::Test {
  protected:
    void make_board(const LinkProfile& profile = kLibusb1Profile) {
        ::testing::internal::CaptureStdout();
        board_ = std::make_unique<QV_demo_board_>(std::make_unique<FakeUsbPort>(state_), profile);
        EXPECT_TRUE(eventually([&] { return reads_started() > 0; }));
        announced_ = ::testing::internal::GetCapturedStdout();
    }

    size_t reads_started() {
        std::lock_guard<std::mutex> lock(state_->m);
        return state_->stream_read_lengths.size();
    }

    // Length the thread asked for in its first read. Under the port's lock:
    // the thread goes on appending to the list.
    int first_read_length() {
        std::lock_guard<std::mutex> lock(state_->m);
        return state_->stream_read_lengths.at(0);
    }

    // Pushes `chunks` transfers of `size` bytes continuing the stream at `pos_`.
    void push(int chunks, int size = 2048, int rc = 0) {
        for (int i = 0; i < chunks; ++i) {
            state_->push_stream(stream_bytes(pos_, size), rc);
            pos_ += size;
        }
    }

    // Waits until the thread has queued or dropped everything pushed so far.
    void settle(uint64_t expected_total) {
        ASSERT_TRUE(eventually([&] {
            UC_IBus_::RingState r = board_->ring_state();
            return taken_ + static_cast<uint64_t>(r.count) + r.dropped == expected_total;
        }));
    }

    // Reads n bytes and checks them against the stream from `from`.
    void take(int n, uint64_t from) {
        Bytes got(n);
        ASSERT_EQ(board_->read_stream(0, n, got.data()), 0);
        EXPECT_EQ(first_mismatch(got, from), -1) << "read of " << n << " from stream byte " << from;
        taken_ += n;
    }

    std::shared_ptr<FakeUsbState> state_ = std::make_shared<FakeUsbState>();
    std::unique_ptr<QV_demo_board_> board_;
    std::string announced_;
    uint64_t pos_ = 0;    // stream bytes pushed
    uint64_t taken_ = 0;  // bytes the test consumed
};

std::vector<std::string> thread_names() {
    std::vector<std::string> names;
    DIR* dir = opendir("/proc/self/task");
    if (!dir) return names;
    while (dirent* e = readdir(dir)) {
        if (e->d_name[0] == '.') continue;
        std::string name;
        std::ifstream(std::string("/proc/self/task/") + e->d_name + "/comm") >> name;
        names.push_back(name);
    }
    closedir(dir);
    return names;
}

}  // namespace

TEST_F(Stream, ThreadStartsReadingEndpoint88) {
    make_board();
    EXPECT_EQ(announced_, "thread created\n");
    EXPECT_EQ(first_read_length(), 2048);
    const auto names = thread_names();
    EXPECT_NE(std::find(names.begin(), names.end(), "qv-stream"), names.end());
    EXPECT_TRUE(state_->snapshot().empty());  // no other traffic
    board_.reset();
    const auto after = thread_names();
    EXPECT_EQ(std::count(after.begin(), after.end(), "qv-stream"), 0);
}

TEST_F(Stream, BytesBeforeATimeoutCount) {
    make_board();
    push(1, 1000, -ETIMEDOUT);
    settle(1000);
    EXPECT_EQ(board_->bytes_available(0), 1000);
    take(1000, 0);
}

TEST_F(Stream, ClassicProfileCountsOnlyCompletedReads) {
    make_board(kClassicProfile);
    EXPECT_EQ(announced_, "");
    EXPECT_EQ(first_read_length(), 1024);
    state_->push_stream(stream_bytes(0, 700), -ETIMEDOUT);  // dropped by the binding's rule
    ASSERT_TRUE(eventually([&] { return state_->stream_left() == 0; }));
    state_->push_stream(stream_bytes(700, 500));
    settle(500);
    EXPECT_EQ(board_->bytes_available(0), 500);
    take(500, 700);
}

TEST_F(Stream, ShortQueueAndOtherQueues) {
    make_board();
    push(7);
    push(1, 2047);
    settle(16383);
    Bytes buf(16384);
    EXPECT_EQ(board_->samples_available(), 4095);
    EXPECT_EQ(board_->read_stream(0, 16384, buf.data()), -22);
    EXPECT_EQ(board_->bytes_available(0), 16383);
    EXPECT_EQ(board_->bytes_available(1), 0);
    EXPECT_EQ(board_->bytes_available(-1), 0);
    EXPECT_EQ(board_->read_stream(1, 4, buf.data()), -22);
    EXPECT_EQ(board_->read_stream(0, -4, buf.data()), -22);
    EXPECT_EQ(board_->bytes_available(0), 16383);
    take(16383, 0);
    EXPECT_EQ(board_->samples_available(), 0);
}

TEST_F(Stream, ReadStraddlingTheWrapEnd) {
    make_board();
    push(255);  // 522240 bytes: the next 2048-byte read would reach the ring's end
    settle(pos_);
    take(522240 - 8192, 0);
    push(8);
    settle(pos_);
    UC_IBus_::RingState r = board_->ring_state();
    EXPECT_EQ(r.wrap_end, 522240);       // write position at the wrap
    EXPECT_EQ(r.write_position, 16384);  // the first read after the wrap landed at 0
    EXPECT_EQ(r.count, 8192 + 16384);
    take(16384, 522240 - 8192);  // 8192 from the tail, then 8192 from index 0
    r = board_->ring_state();
    EXPECT_EQ(r.read_position, 8192);
    EXPECT_EQ(r.count, 8192);
    take(8192, 522240 + 8192);
}

TEST_F(Stream, ReadEndingExactlyAtTheWrapEnd) {
    make_board();
    push(255);
    settle(pos_);
    take(522240, 0);
    push(1);  // wraps; the consumer sits at the old end with nothing queued
    settle(pos_);
    EXPECT_EQ(board_->ring_state().read_position, 522240);
    take(2048, 522240);
    EXPECT_EQ(board_->ring_state().read_position, 2048);
}

TEST_F(Stream, StalledConsumerLosesWholeTransfersOnly) {
    make_board();
    push(300);  // 45 more transfers than the ring can take
    settle(pos_);
    EXPECT_EQ(board_->bytes_available(0), 255 * 2048);
    EXPECT_EQ(board_->dropped_bytes(), 45u * 2048);
    take(255 * 2048, 0);  // everything kept is intact and in order

    // Once the consumer has made room the stream resumes at a transfer boundary.
    const uint64_t resume = pos_;
    push(2);
    ASSERT_TRUE(eventually([&] { return board_->bytes_available(0) == 4096; }));
    take(4096, resume);
    EXPECT_EQ(board_->dropped_bytes(), 45u * 2048);
}

TEST_F(Stream, ConcurrentProducerAndConsumer) {
    make_board();
    constexpr uint64_t kTotal = 3u << 20;  // six laps of the ring
    std::mt19937 rng(12345);

    // Consumer on its own thread, reading random amounts as they come.
    std::atomic<bool> ok{true};
    auto consumer = std::async(std::launch::async, [&] {
        std::mt19937 crng(777);
        Bytes buf(16384);
        uint64_t pos = 0;
        while (pos < kTotal && ok) {
            const int want = std::uniform_int_distribution<int>(1, 16384)(crng);
            const int n = static_cast<int>(std::min<uint64_t>(want, kTotal - pos));
            if (board_->bytes_available(0) < n) {
                std::this_thread::yield();
                continue;
            }
            buf.resize(n);
            if (board_->read_stream(0, n, buf.data()) != 0 || first_mismatch(buf, pos) != -1)
                ok = false;
            pos += n;
        }
        return pos;
    });

    // Producer script: transfers of random size, some ending in a timeout,
    // fed while less than half the ring is queued so that nothing is dropped.
    while (pos_ < kTotal && ok) {
        if (state_->stream_left() > 8 || board_->bytes_available(0) > kRingBytes / 2) {
            std::this_thread::yield();
            continue;
        }
        const int size = static_cast<int>(
            std::min<uint64_t>(std::uniform_int_distribution<int>(1, 2048)(rng), kTotal - pos_));
        push(1, size, rng() % 4 == 0 ? -ETIMEDOUT : 0);
    }
    EXPECT_EQ(consumer.get(), kTotal);
    EXPECT_TRUE(ok);
    EXPECT_EQ(board_->dropped_bytes(), 0u);
}

TEST_F(Stream, DestroyingTheBoardWaitsForTheTransferInFlight) {
    state_->hold_stream = true;
    make_board();
    ASSERT_TRUE(eventually([&] {
        std::lock_guard<std::mutex> lock(state_->m);
        return state_->stream_in_flight == 1;
    }));
    auto destroyed = std::async(std::launch::async, [&] { board_.reset(); });
    // The destructor must still be waiting while the read is held.
    EXPECT_EQ(destroyed.wait_for(std::chrono::milliseconds(50)), std::future_status::timeout);
    state_->push_stream(stream_bytes(0, 2048));  // the last transfer lands in the ring
    state_->release_stream();
    destroyed.get();
    std::lock_guard<std::mutex> lock(state_->m);
    EXPECT_TRUE(state_->closed);
    EXPECT_FALSE(state_->close_during_stream_read);
    EXPECT_FALSE(state_->stream_read_while_closed);
}
