#include "stream_producer.h"

#include <pthread.h>

#include <algorithm>
#include <chrono>
#include <vector>

#include "producer_tick.h"
#include "protocol.h"

namespace vboard {

namespace {

using Clock = std::chrono::steady_clock;

constexpr size_t kChunkFrames = 4096;
constexpr size_t kFrameBytes = qv::kFrameBytes;  // int16 I, int16 Q, little-endian

}  // namespace

void StreamProducer::start() {
    if (!thread_.joinable()) thread_ = std::thread([this] { loop(); });
}

void StreamProducer::set_source(Source source) {
    source_ = std::move(source);
    ++source_epoch_;
    wake_cv_.notify_all();
}

void StreamProducer::chip_written() {
    ++chip_epoch_;
    wake_cv_.notify_all();
}

void StreamProducer::top_up() {
    top_up_ = true;
    wake_cv_.notify_all();
}

size_t StreamProducer::take(uint8_t* dst, size_t n) {
    const size_t taken = fifo_.pop(dst, n);
    bytes_delivered_ += taken;
    return taken;
}

void StreamProducer::clear_counters() { frames_produced_ = bytes_delivered_ = bytes_lost_ = 0; }

void StreamProducer::report(Stats* st) const {
    st->frames_produced = frames_produced_;
    st->fifo_bytes_delivered = bytes_delivered_;
    st->fifo_bytes_lost = bytes_lost_;
    st->fifo_level = fifo_.size();
}

void StreamProducer::loop() {
    pthread_setname_np(pthread_self(), "qv-vboard");
    std::vector<int16_t> iq(2 * kChunkFrames);
    std::vector<uint8_t> bytes(kFrameBytes * kChunkFrames);
    bool anchored = false;
    Clock::time_point t0;
    uint64_t done = 0;  // frames produced since t0
    double anchored_rate = 0.0;
    uint64_t anchored_epoch = 0;

    std::unique_lock<std::mutex> lock(m_);
    for (;;) {
        top_up_ = false;
        const uint64_t epoch = source_epoch_;
        const uint64_t chip_epoch = chip_epoch_;
        if (!source_.on) {
            anchored = false;
            wake_cv_.wait(lock, [&] { return source_epoch_ != epoch; });
            continue;
        }
        std::shared_ptr<VirtualChip> chip = source_.chip;
        const int channel = source_.channel;
        lock.unlock();

        const double rate = std::min(chip->output_rate_hz(channel), kMaxFrameRateHz);
        const Clock::time_point now = Clock::now();
        if (!(rate > 0.0)) {
            // Receiver stopped: nothing flows until a register write or a stream change.
            lock.lock();
            anchored = false;
            wake_cv_.wait(lock,
                          [&] { return source_epoch_ != epoch || chip_epoch_ != chip_epoch; });
            continue;
        }
        if (!anchored || rate != anchored_rate || epoch != anchored_epoch) {
            anchored = true;
            anchored_rate = rate;
            anchored_epoch = epoch;
            t0 = now;
            done = 0;
        }
        const double elapsed = std::chrono::duration<double>(now - t0).count();
        const uint64_t due = uint64_t(elapsed * rate);
        while (done < due) {
            const size_t n = size_t(std::min<uint64_t>(due - done, kChunkFrames));
            chip->generate(channel, iq.data(), n);
            for (size_t k = 0; k < 2 * n; ++k) {
                bytes[2 * k] = uint8_t(uint16_t(iq[k]));
                bytes[2 * k + 1] = uint8_t(uint16_t(iq[k]) >> 8);
            }
            done += n;
            lock.lock();
            if (source_epoch_ != epoch) break;  // stream changed meanwhile: drop the chunk
            const size_t taken = fifo_.push_frames(bytes.data(), n, kFrameBytes);
            frames_produced_ += n;
            bytes_lost_ += (n - taken) * kFrameBytes;
            if (taken) data_cv_.notify_all();
            lock.unlock();
        }
        if (!lock.owns_lock()) lock.lock();
        wake_cv_.wait_until(lock, now + producer_tick(rate),
                            [&] { return source_epoch_ != epoch || top_up_; });
    }
}

}  // namespace vboard
