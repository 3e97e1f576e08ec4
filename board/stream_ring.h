// The stream ring ("HS queue"): the bytes of endpoint 0x88 in arrival order,
// between the stream thread that fills it one transfer at a time and the
// consumer that takes blocks out.
//
// Threads: reserve, publish and drop belong to the producer (one thread, the
// stream thread), read to the consumer (one thread at a time); count, dropped
// and state may be called from any thread. One mutex, the "HS queue mutex",
// guards the count, the three positions and the drop count. It is held only
// for bookkeeping and for read's copies, never while a transfer fills the
// bytes that reserve handed out: the producer owns those bytes until it
// publishes them, and the consumer sees no byte before the count covering it.
//
// Layout: the queued bytes are [read position, write position), or, once the
// producer has wrapped to index 0 ahead of the consumer ("lapped"),
// [read position, wrap end) followed by [0, write position). A transfer never
// straddles the ring's end and never lands on unread bytes; the ring's last
// byte is never written.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>

#include "protocol.h"

class StreamRing {
  public:
    struct State {
        int count;           // bytes queued and not yet read
        int read_position;   // next byte the consumer takes
        int write_position;  // where the next transfer lands
        int wrap_end;        // one past the last queued byte before index 0 while lapped
        uint64_t dropped;    // bytes of transfers that found no room
    };

    // An empty ring of `capacity` bytes (zeroed), positions 0, wrap end at
    // its last byte.
    explicit StreamRing(int capacity = qv::kRingBytes);
    StreamRing(const StreamRing&) = delete;
    StreamRing& operator=(const StreamRing&) = delete;

    // Producer: where the next transfer of up to `length` bytes lands. When it
    // would reach the ring's last byte and the producer has not lapped the
    // consumer, the producer wraps first (wrap end <- write position, write
    // position <- 0). Returns nullptr when the transfer could land on unread
    // bytes: the ring has no room for it now (a wrap made stays made).
    uint8_t* reserve(int length);
    // Producer: `n` bytes (> 0) of the transfer placed by the last reserve
    // are queued.
    void publish(int n);
    // Producer: `n` bytes arrived while the ring had no room; they are counted
    // as dropped.
    void drop(int n);

    // Consumer: copies exactly `n` bytes, oldest first, to `dst` and removes
    // them. Returns 0, or qv::kErrInvalid without copying when n < 0 or fewer
    // than n bytes are queued. A read that ends exactly at the wrap end leaves
    // the read position there; the next one takes 0 bytes from the tail and
    // continues at index 0. Once the consumer crosses to index 0 the wrap end
    // goes back to the ring's last byte.
    int read(int n, void* dst);

    int count();
    uint64_t dropped();
    // Snapshot of the bookkeeping, for diagnostics and tests.
    State state();

    int capacity() const { return capacity_; }

  private:
    const int capacity_;
    std::unique_ptr<uint8_t[]> ring_;

    // "HS queue mutex": guards everything below.
    std::mutex hs_queue_mutex_;
    int count_ = 0;
    int read_position_ = 0;
    int write_position_ = 0;
    int wrap_end_;
    uint64_t dropped_ = 0;
};
