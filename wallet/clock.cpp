#include "wallet/clock.h"

#include <chrono>
#include <mutex>
#include <thread>

namespace {

std::mutex g_clock_mutex;
ClockSeam g_clock;

template <typename F> F current(F ClockSeam::*member) {
    std::lock_guard<std::mutex> lock(g_clock_mutex);
    return g_clock.*member;
}

} // namespace

std::int64_t clock_system_ms() {
    auto f = current(&ClockSeam::system_ms);
    if (f) return f();
    using namespace std::chrono;
    return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

std::int64_t clock_steady_ms() {
    auto f = current(&ClockSeam::steady_ms);
    if (f) return f();
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

void clock_sleep_ms(std::int64_t ms) {
    auto f = current(&ClockSeam::sleep_ms);
    if (f) {
        f(ms);
        return;
    }
    if (ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

void set_clock_seam(const ClockSeam& seam) {
    std::lock_guard<std::mutex> lock(g_clock_mutex);
    g_clock = seam;
}

void reset_clock_seam() {
    std::lock_guard<std::mutex> lock(g_clock_mutex);
    g_clock = ClockSeam{};
}
