// Test helper shared across the folders' tests: polling with a generous deadline instead of
// fixed sleeps, so the suite holds up on a loaded machine.
#pragma once
#include <algorithm>
#include <chrono>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

// Deadlines in tests are written with their unit: 2s, 400ms.
using namespace std::chrono_literals;

namespace test_support {

// True as soon as done() holds; false when it still does not once `within` has passed. The pause
// between looks grows from 1 ms to 50 ms: quick for in-process state, light on programs under
// test whose log files each look reads.
template <class F>
bool pollUntil(F&& done, std::chrono::milliseconds within = 60s) {
    const auto end = std::chrono::steady_clock::now() + within;
    auto pause = 1ms;
    while (std::chrono::steady_clock::now() < end) {
        if (done()) return true;
        std::this_thread::sleep_for(pause);
        pause = std::min<std::chrono::milliseconds>(pause * 2, 50ms);
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
