// How often the virtual board's stream producer wakes: often enough that the
// endpoint's FIFO could take four wake-ups' worth of frames, at least every
// millisecond and at most every 10 ms. A slow stream (203.7 kHz fills the
// 32 KiB FIFO in 40 ms) then wakes a hundred times a second and hands the host
// 8 KiB at a time, which leaves 30 ms of headroom; each wake-up costs the
// chip model cold caches and the stream thread a sleep, so fewer, larger
// pushes cost measurably less. A fast stream (1 MHz fills it in 8 ms) keeps
// its headroom. The chip model's bench paces its calls by the same rule.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdint>

#include "protocol.h"
#include "vboard_control.h"

namespace vboard {

inline std::chrono::microseconds producer_tick(double frame_rate_hz) {
    constexpr std::chrono::microseconds kShortest{1000};
    constexpr std::chrono::microseconds kLongest{10000};
    constexpr int kTicksPerFifo = 4;
    const double fifo_us =
        1e6 * double(kStreamFifoBytes) / (double(qv::kFrameBytes) * frame_rate_hz);
    const std::chrono::microseconds tick{int64_t(fifo_us / kTicksPerFifo)};
    return std::clamp(tick, kShortest, kLongest);
}

}  // namespace vboard
