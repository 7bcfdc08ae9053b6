// Test helper shared across the folders' tests: polling with a generous deadline instead of
// fixed sleeps, so the suite holds up on a loaded machine.
#pragma once
#include <chrono>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
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

// The same for programs under test, which answer slower: seconds, checked every 50 ms.
inline bool pollUntil(const std::function<bool()>& done, int seconds = 60) {
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (std::chrono::steady_clock::now() < end) {
        if (done()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return done();
}

// A whole host file; "" when it cannot be read.
inline std::string readText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

}  // namespace test_support
