// The stream ring's wrap and drop rules, step by step on a 16-byte ring: each
// step is a transfer of the producer or a read of the consumer, followed by
// the bookkeeping it must leave. The bytes read must be the published ones, in
// order, without the dropped ones.
#include "stream_ring.h"

#include <gtest/gtest.h>

#include <deque>
#include <vector>

namespace {

constexpr int kCapacity = 16;  // last byte 15: the initial wrap end

struct Step {
    bool put;  // producer: reserve `length`, fill `n` bytes; else consumer: read `n`
    int length;
    int n;
    int result;  // put: where the transfer lands, -1 for no room; read: its result
    StreamRing::State after;
};

// The producer's transfer of `n` bytes into a reservation of `length`.
Step put(int length, int n, int lands_at, StreamRing::State after) {
    return {true, length, n, lands_at, after};
}
Step get(int n, int result, StreamRing::State after) { return {false, 0, n, result, after}; }

void run(const std::vector<Step>& steps) {
    StreamRing ring(kCapacity);
    uint8_t* const base = ring.reserve(0);  // an empty ring hands out index 0
    std::deque<uint8_t> queued;             // what the consumer must get, in order
    uint8_t next = 1;
    for (size_t i = 0; i < steps.size(); ++i) {
        const Step& s = steps[i];
        SCOPED_TRACE("step " + std::to_string(i + 1));
        if (s.put) {
            std::vector<uint8_t> scratch(s.length);
            uint8_t* dst = ring.reserve(s.length);
            EXPECT_EQ(dst ? int(dst - base) : -1, s.result);
            if (!dst) dst = scratch.data();
            for (int k = 0; k < s.n; ++k) dst[k] = next++;
            if (dst == scratch.data()) {
                ring.drop(s.n);
            } else {
                ring.publish(s.n);
                queued.insert(queued.end(), dst, dst + s.n);
            }
        } else {
            std::vector<uint8_t> got(s.n > 0 ? s.n : 0);
            ASSERT_EQ(ring.read(s.n, got.data()), s.result);
            if (s.result == 0) {
                const std::vector<uint8_t> want(queued.begin(), queued.begin() + s.n);
                EXPECT_EQ(got, want);
                queued.erase(queued.begin(), queued.begin() + s.n);
            }
        }
        const StreamRing::State st = ring.state();
        EXPECT_EQ(st.count, s.after.count);
        EXPECT_EQ(st.read_position, s.after.read_position);
        EXPECT_EQ(st.write_position, s.after.write_position);
        EXPECT_EQ(st.wrap_end, s.after.wrap_end);
        EXPECT_EQ(st.dropped, s.after.dropped);
        if (::testing::Test::HasFailure()) return;
    }
}

}  // namespace

// State columns: count, read position, write position, wrap end, dropped.

TEST(StreamRing, WrapsBeforeTheLastByteAndForgetsTheWrapEndOnceTheConsumerCrosses) {
    run({
        put(6, 6, 0, {6, 0, 6, 15, 0}),
        put(6, 4, 6, {10, 0, 10, 15, 0}),  // a short transfer: the wrap end will be 10
        get(8, 0, {2, 8, 10, 15, 0}),
        put(6, 6, 0, {8, 8, 6, 10, 0}),  // 10 + 6 would reach byte 15: wrap first
        get(4, 0, {4, 2, 6, 15, 0}),     // 2 from the tail, 2 from index 0
        put(6, 6, 6, {10, 2, 12, 15, 0}),
        get(10, 0, {0, 12, 12, 15, 0}),  // across the old wrap end: it bounds nothing now
    });
}

TEST(StreamRing, ReadEndingAtTheWrapEndStaysThereAndDropsWhileNoRoom) {
    run({
        put(6, 6, 0, {6, 0, 6, 15, 0}),
        put(6, 4, 6, {10, 0, 10, 15, 0}),  // the consumer has read nothing yet
        put(6, 6, -1, {10, 0, 0, 10, 6}),  // wrapped, but index 0 is unread: dropped
        get(10, 0, {0, 10, 0, 10, 6}),     // ends exactly at the wrap end
        put(6, 6, 0, {6, 10, 6, 10, 6}),
        get(6, 0, {0, 6, 6, 15, 6}),  // 0 bytes from the tail, then index 0
    });
}

TEST(StreamRing, TransfersThatWouldLandOnUnreadBytesAreDroppedWhole) {
    run({
        put(6, 6, 0, {6, 0, 6, 15, 0}),
        put(6, 6, 6, {12, 0, 12, 15, 0}),
        get(5, 0, {7, 5, 12, 15, 0}),
        put(6, 6, -1, {7, 5, 0, 12, 6}),  // 0 + 6 would reach the unread byte 5
        put(6, 5, -1, {7, 5, 0, 12, 11}),
        get(1, 0, {6, 6, 0, 12, 11}),
        put(6, 6, 0, {12, 6, 6, 12, 11}),  // up to the consumer, not beyond
        put(6, 6, -1, {12, 6, 6, 12, 17}),
        get(12, 0, {0, 6, 6, 15, 17}),
        put(6, 6, 6, {6, 6, 12, 15, 17}),
    });
}

TEST(StreamRing, ReadsOfMoreThanIsQueuedOrOfNegativeLengthTakeNothing) {
    run({
        put(6, 6, 0, {6, 0, 6, 15, 0}),
        get(7, qv::kErrInvalid, {6, 0, 6, 15, 0}),
        get(-1, qv::kErrInvalid, {6, 0, 6, 15, 0}),
        get(0, 0, {6, 0, 6, 15, 0}),
        get(6, 0, {0, 6, 6, 15, 0}),
    });
}
