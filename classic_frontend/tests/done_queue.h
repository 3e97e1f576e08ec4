// Wave output done notifications handed from the audio thread to the test's
// own thread, as the form's event queue hands them to the GUI thread.
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>

#include "wave_out.h"

struct DoneQueue {
    using Clock = std::chrono::steady_clock;
    struct Done {
        classic::WaveHeader* header;
        Clock::time_point at;
    };
    std::mutex m;
    std::condition_variable cv;
    std::deque<Done> q;

    // The wave output's callback (audio thread).
    void push(classic::WaveHeader* h) {
        std::lock_guard<std::mutex> lock(m);
        q.push_back({h, Clock::now()});
        cv.notify_one();
    }
    // Next notification, or a null header after timeout_ms without one.
    Done pop(int timeout_ms) {
        std::unique_lock<std::mutex> lock(m);
        if (!cv.wait_for(lock, std::chrono::milliseconds(timeout_ms), [&] { return !q.empty(); }))
            return {nullptr, Clock::now()};
        Done d = q.front();
        q.pop_front();
        return d;
    }
};
