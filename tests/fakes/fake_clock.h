// A clock for tests: time moves only when code sleeps or the test advances it, and every sleep is
// recorded.
#pragma once

#include "wallet/clock.h"

#include <cstdint>
#include <mutex>
#include <vector>

struct FakeClock {
    std::mutex mutex;
    std::int64_t system_ms = 1767225600000; // 2026-01-01 00:00:00 UTC
    std::int64_t steady_ms = 1000000;
    std::vector<std::int64_t> sleeps;

    // Installs this clock as the process clock until destroyed.
    FakeClock();
    ~FakeClock();
    FakeClock(const FakeClock&) = delete;
    FakeClock& operator=(const FakeClock&) = delete;

    void advance(std::int64_t ms);
    std::vector<std::int64_t> recorded_sleeps();
};
