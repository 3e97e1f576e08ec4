// Waiting for a condition in the board link's tests and probes, whatever the
// machine's load: polls every `every` and gives up after `limit` (a safety
// net, not a speed requirement).
#pragma once

#include <chrono>
#include <thread>

// Polls `pred` until it holds or `limit` has passed. Returns whether it held.
template <class Pred>
bool eventually(Pred pred, std::chrono::seconds limit = std::chrono::seconds(10),
                std::chrono::milliseconds every = std::chrono::milliseconds(1)) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!pred()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(every);
    }
    return true;
}
