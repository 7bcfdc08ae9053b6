// Test support: the emulated machine's clock moved to a given local time (the Linux build only;
// the real machine's clock under Wine cannot be moved).
#pragma once
#ifndef _WIN32
#include <gtest/gtest.h>

#include <chrono>
#include <ctime>
#include <string>

#include "platform/root.h"
#include "platform/win_base.h"

namespace test_support {

// Puts the root's clock at the given millisecond since the epoch. Fails when the clock did not
// move there.
inline testing::AssertionResult setClockMs(long long target) {
    using namespace std::chrono;
    const long long hostMs = duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
    platform::setSetting("clock_offset_ms", std::to_string(target - hostMs));
    // Whole seconds only: a clock that did not move lands at least a second off.
    const long long seen = (long long)winTime(nullptr) * 1000;
    if (seen > target - 1000 && seen <= target + 3000) return testing::AssertionSuccess();
    return testing::AssertionFailure() << "the clock shows " << seen / 1000 << " s, not " << target / 1000;
}

// Puts the root's clock at the start of the given local second, so a loaded machine still has
// most of a second before the next one.
inline testing::AssertionResult setClock(int year, int month, int day, int hour = 12, int minute = 0,
                                         int second = 0) {
    struct tm t = {};
    t.tm_year = year - 1900;
    t.tm_mon = month - 1;
    t.tm_mday = day;
    t.tm_hour = hour;
    t.tm_min = minute;
    t.tm_sec = second;
    t.tm_isdst = -1;
    return setClockMs((long long)std::mktime(&t) * 1000);
}

}  // namespace test_support
#endif
