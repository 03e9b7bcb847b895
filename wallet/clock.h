// The one seam for time: the system clock, the steady clock and sleeping. Production code calls
// these instead of std::chrono and std::this_thread, so tests of back-off, time-outs and expiry
// can run without waiting.
#pragma once

#include <cstdint>
#include <functional>

struct ClockSeam {
    std::function<std::int64_t()> system_ms; // milliseconds since the Unix epoch
    std::function<std::int64_t()> steady_ms; // monotonic milliseconds
    std::function<void(std::int64_t)> sleep_ms;
};

std::int64_t clock_system_ms();
std::int64_t clock_steady_ms();
void clock_sleep_ms(std::int64_t ms);

// The steady clock in nanoseconds, the unit of the coin caches' stamps.
inline std::int64_t clock_steady_ns() {
    return clock_steady_ms() * 1000000LL;
}

// Replaces the clock for the whole process (tests only); a member left empty keeps the real one.
void set_clock_seam(const ClockSeam& seam);
void reset_clock_seam();
