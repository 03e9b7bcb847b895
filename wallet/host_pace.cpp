#include "wallet/host_pace.h"

#include "wallet/clock.h"
#include "wallet/codecs.h"
#include "wallet/settings.h"

#include <algorithm>
#include <cmath>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>

struct HostGate {
    std::mutex mutex;
    std::condition_variable freed;
    int in_flight = 0;
    // The token bucket as a schedule: the time at which the bucket is empty again if nobody asks
    // meanwhile (a request may start up to burst - 1 intervals before it).
    std::int64_t empty_at_ms = 0;
    std::int64_t paused_until_ms = 0;
};

namespace {

// Never destroyed, and gates are never removed: a program talks to a handful of hosts, and a
// request thread may still hold a gate while the process exits.
std::mutex& gates_mutex() {
    static std::mutex* mutex = new std::mutex;
    return *mutex;
}
std::map<std::string, HostGate*>& gates() {
    static auto* map = new std::map<std::string, HostGate*>;
    return *map;
}

HostGate* gate_of(const std::string& key) {
    std::lock_guard<std::mutex> lock(gates_mutex());
    HostGate*& gate = gates()[key];
    if (!gate) gate = new HostGate;
    return gate;
}

HostPace pace_of(const std::string& key) {
    const ServiceSettings settings = service_settings();
    HostPace pace = key == host_key(settings.woc_base) ? settings.woc_pace : settings.host_pace;
    pace.parallel = std::max(pace.parallel, 1);
    pace.burst = std::max(pace.burst, 1);
    return pace;
}

} // namespace

std::string host_key(const std::string& url) {
    const std::size_t scheme_end = url.find("://");
    const std::size_t start = scheme_end == std::string::npos ? 0 : scheme_end + 3;
    return to_lower_copy(url.substr(0, url.find_first_of("/?#", start)));
}

HostTurn::HostTurn(const std::string& url) {
    const std::string key = host_key(url);
    const HostPace pace = pace_of(key);
    gate_ = gate_of(key);
    std::int64_t wait_ms = 0;
    {
        std::unique_lock<std::mutex> lock(gate_->mutex);
        gate_->freed.wait(lock, [&] { return gate_->in_flight < pace.parallel; });
        ++gate_->in_flight;
        const std::int64_t now = clock_steady_ms();
        std::int64_t start = std::max(now, gate_->paused_until_ms);
        if (pace.per_second > 0) {
            // Rounded up: a pace a hair faster than the service's own is refused now and then.
            const auto interval = static_cast<std::int64_t>(std::ceil(1000.0 / pace.per_second));
            start = std::max(start, gate_->empty_at_ms - (pace.burst - 1) * interval);
            gate_->empty_at_ms = std::max(gate_->empty_at_ms, start) + interval;
        }
        wait_ms = start - now;
    }
    if (wait_ms > 0) clock_sleep_ms(wait_ms);
}

HostTurn::~HostTurn() {
    {
        std::lock_guard<std::mutex> lock(gate_->mutex);
        --gate_->in_flight;
    }
    gate_->freed.notify_one();
}

void host_pause(const std::string& url, std::int64_t ms) {
    if (ms <= 0) return;
    HostGate* gate = gate_of(host_key(url));
    std::lock_guard<std::mutex> lock(gate->mutex);
    gate->paused_until_ms = std::max(gate->paused_until_ms, clock_steady_ms() + ms);
}
