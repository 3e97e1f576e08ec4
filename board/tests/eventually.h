// Waiting for a condition in the board link's tests, whatever the machine's
// load: polls every millisecond, gives up after 10 s (a safety net, not a
// speed requirement).
#pragma once

#include <chrono>
#include <thread>

// Polls `pred` until it holds or 10 s have passed. Returns whether it held.
template <class Pred>
bool eventually(Pred pred) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!pred()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}
