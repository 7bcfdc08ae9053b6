// Test helper shared across the folders' tests: polling with a generous deadline instead of
// fixed sleeps, so the suite holds up on a loaded machine.
#pragma once
#include <chrono>
#include <thread>

namespace test_support {

// True as soon as cond() holds; false when it still does not after ms milliseconds.
template <class F>
bool waitFor(F cond, int ms = 15000) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (std::chrono::steady_clock::now() < end) {
        if (cond()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return cond();
}

}  // namespace test_support
