#include "stream_thread.h"

#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <system_error>

#include "uc_ibus.h"

using namespace qv;

namespace {

// Highest SCHED_FIFO priority this process may take: the maximum with
// privileges, else the RLIMIT_RTPRIO soft limit. Stays at normal priority
// when neither is granted.
void raise_to_realtime_priority() {
    const int max_prio = sched_get_priority_max(SCHED_FIFO);
    sched_param param{};
    param.sched_priority = max_prio;
    if (pthread_setschedparam(pthread_self(), SCHED_FIFO, &param) == 0) return;
    rlimit limit{};
    if (getrlimit(RLIMIT_RTPRIO, &limit) != 0 || limit.rlim_cur == 0) return;
    param.sched_priority =
        static_cast<int>(std::min<rlim_t>(limit.rlim_cur, static_cast<rlim_t>(max_prio)));
    pthread_setschedparam(pthread_self(), SCHED_FIFO, &param);
}

}  // namespace

thread_::~thread_() { stop(); }

int thread_::start() {
    if (thread_handle_.joinable()) return 0;
    try {
        thread_handle_ = std::thread([this] { run(); });
    } catch (const std::system_error& e) {
        return -e.code().value();
    }
    return 0;
}

void thread_::stop() {
    stop_flag_.store(1, std::memory_order_release);
    if (thread_handle_.joinable()) thread_handle_.join();
}

thr1::thr1(UC_IBus_* owner)
    : owner_(owner), scratch_(new uint8_t[owner->profile().stream_read_bytes]) {}

thr1::~thr1() { stop(); }

void thr1::run() {
    pthread_setname_np(pthread_self(), "qv-stream");
    raise_to_realtime_priority();

    const LinkProfile& profile = owner_->profile();
    if (profile.announce_stream_thread) {
        std::printf("thread created\n");
        std::fflush(stdout);
    }

    const int length = profile.stream_read_bytes;
    StreamRing& ring = owner_->stream_ring();
    // A command that found the device gone has marked the owner lost as well.
    while (!stop_requested() && !owner_->device_lost()) {
        uint8_t* dst = ring.reserve(length);
        bool into_ring = dst != nullptr;
        if (!into_ring) dst = scratch_.get();

        int moved = 0;
        const int result = owner_->stream_transfer(dst, length, &moved);
        int n = (result == 0 || profile.count_bytes_of_failed_read) ? moved : 0;
        n = std::clamp(n, 0, length);
        if (n > 0 && !into_ring) {
            // The ring was full when the read started; the consumer may have
            // made room since. Keep the transfer if it fits now.
            if (uint8_t* late = ring.reserve(length)) {
                std::memcpy(late, dst, n);
                into_ring = true;
            }
        }
        if (n > 0) {
            if (into_ring) {
                ring.publish(n);
            } else {
                ring.drop(n);
            }
        }
        if (result == -ENODEV) break;  // the board is gone; it will not come back on this handle

        // A read that fails at once (endpoint halted, I/O error) would turn
        // this loop into a busy spin at real-time priority: pause before the
        // next attempt. Timeouts already waited.
        if (result < 0 && result != -ETIMEDOUT && moved == 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ended_.store(true, std::memory_order_release);
}
