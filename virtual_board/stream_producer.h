// The paced stream producer of the virtual board and the FIFO of endpoint
// 0x88: the thread "qv-vboard" moves frames of the selected channel from the
// chip into the FIFO, paced against the steady clock at the chip's output rate
// (at most kMaxFrameRateHz). It wakes every 1 to 10 ms while the stream flows
// (producer_tick.h) and sleeps on a condition variable otherwise. Frames that do not fit
// are dropped whole and counted.
//
// Threads: the virtual board's mutex (`m`, given at construction) guards this
// object: every member function is called with it held. The producer thread
// takes it for its bookkeeping and releases it while the chip generates a
// chunk; it notifies `data_cv` when frames land in the FIFO, and the readers
// of endpoint 0x88 wait on that with the same mutex. The thread starts with
// the firmware's first start and lives as long as the process: the object is
// never destroyed (the board is not).
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>

#include "stream_fifo.h"
#include "vboard_control.h"
#include "virtual_chip.h"

namespace vboard {

class StreamProducer {
  public:
    // The FX2 moves at most about 40 MB/s over high-speed bulk; a chip
    // configured faster than that (e.g. no decimation at all) is paced at this
    // ceiling.
    static constexpr double kMaxFrameRateHz = 10.0e6;

    // What the stream carries: frames of `channel` of `chip` while `on`.
    struct Source {
        bool on = false;
        std::shared_ptr<VirtualChip> chip;
        int channel = 0;
    };

    StreamProducer(std::mutex& m, std::condition_variable& data_cv) : m_(m), data_cv_(data_cv) {}
    StreamProducer(const StreamProducer&) = delete;
    StreamProducer& operator=(const StreamProducer&) = delete;

    // Starts the producer thread unless it runs already.
    void start();
    // What the stream carries may have changed: pacing starts afresh from
    // `source`, and a chunk being generated for the old one is discarded.
    void set_source(Source source);
    // A register write reached the chip: its output rate may have changed.
    void chip_written();
    // A host read has waited on an empty FIFO for half its timeout: the
    // producer wakes before its tick and moves the frames due by now, as the
    // real FIFO would have received them meanwhile.
    void top_up();

    size_t fifo_level() const { return fifo_.size(); }
    void clear_fifo() { fifo_.clear(); }
    // Moves up to `n` bytes from the FIFO to `dst` for the host; returns how many.
    size_t take(uint8_t* dst, size_t n);

    void clear_counters();
    // Fills the stream's part of a Stats snapshot.
    void report(Stats* st) const;

  private:
    void loop();

    std::mutex& m_;
    std::condition_variable& data_cv_;
    std::condition_variable wake_cv_;  // source or chip changes, for the producer thread

    Source source_;
    uint64_t source_epoch_ = 0;  // bumped on every set_source
    uint64_t chip_epoch_ = 0;    // bumped on every chip register write
    bool top_up_ = false;        // a host read waits for frames: wake before the tick
    StreamFifo fifo_{kStreamFifoBytes};

    uint64_t frames_produced_ = 0;
    uint64_t bytes_delivered_ = 0;
    uint64_t bytes_lost_ = 0;

    std::thread thread_;
};

}  // namespace vboard
