#include "fakes/fake_clock.h"

FakeClock::FakeClock() {
    ClockSeam seam;
    seam.system_ms = [this] {
        std::lock_guard<std::mutex> lock(mutex);
        return system_ms;
    };
    seam.steady_ms = [this] {
        std::lock_guard<std::mutex> lock(mutex);
        return steady_ms;
    };
    seam.sleep_ms = [this](std::int64_t ms) {
        std::lock_guard<std::mutex> lock(mutex);
        sleeps.push_back(ms);
        if (ms > 0) {
            system_ms += ms;
            steady_ms += ms;
        }
    };
    set_clock_seam(seam);
}

FakeClock::~FakeClock() {
    reset_clock_seam();
}

void FakeClock::advance(std::int64_t ms) {
    std::lock_guard<std::mutex> lock(mutex);
    system_ms += ms;
    steady_ms += ms;
}

std::vector<std::int64_t> FakeClock::recorded_sleeps() {
    std::lock_guard<std::mutex> lock(mutex);
    return sleeps;
}
