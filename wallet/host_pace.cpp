#include "wallet/host_pace.h"

#include "wallet/clock.h"
#include "wallet/codecs.h"
#include "wallet/settings.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <condition_variable>
#include <deque>
#include <limits>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

namespace {

// The host counts a request when it arrives, which is some time after it starts here and before
// its answer is back. So the rolling second is kept on answers: a request under way, or answered
// within the last second (and this slack for the clocks' ticks), may have reached the host within
// the second the next one lands in.
constexpr std::int64_t kClockSlackMs = 16;

// When this run began (steady ms; 0 until host_pace_start_run).
std::atomic<std::int64_t> g_run_began_ms{0};

} // namespace

struct HostGate {
    std::mutex mutex;
    std::condition_variable freed;
    int in_flight = 0;
    // One waiter at a time sleeps until the host's next turn; the others wait behind it.
    bool pacing = false;
    // When the latest requests started, and when the latest answers came, oldest first; as many as
    // the pace looks back on.
    std::deque<std::int64_t> starts;
    std::deque<std::int64_t> answered;
    std::size_t look_back = 1;
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

std::size_t per_second_of(const HostPace& pace) {
    return static_cast<std::size_t>(std::max(1.0, std::floor(pace.per_second)));
}

// The earliest time at or after `now` at which the pace lets the next request start: no more than
// the rate in any rolling second, no more than the burst within one interval, none while paused.
// Past the end of time while the requests under way fill the rolling second by themselves.
std::int64_t next_start(const HostGate& gate, const HostPace& pace, std::int64_t now) {
    std::int64_t start = std::max(now, gate.paused_until_ms);
    if (pace.per_second <= 0) return start;
    // The run before this one may have filled the host's rolling second just before this one began.
    const std::int64_t began = g_run_began_ms.load();
    if (began > 0 && now >= began && now < began + 1000 + kClockSlackMs)
        start = std::max(start, began + 1000 + kClockSlackMs);
    const std::size_t per_second = per_second_of(pace);
    const auto under_way = static_cast<std::size_t>(gate.in_flight);
    if (under_way >= per_second) return std::numeric_limits<std::int64_t>::max();
    const std::size_t recent_allowed = per_second - 1 - under_way;
    const std::size_t n = gate.answered.size();
    if (n > recent_allowed) start = std::max(start, gate.answered[n - recent_allowed - 1] + 1000 + kClockSlackMs);
    // Rounded up: a pace a hair faster than the service's own is refused now and then.
    const auto interval = static_cast<std::int64_t>(std::ceil(1000.0 / pace.per_second));
    const auto burst = static_cast<std::size_t>(pace.burst);
    if (gate.starts.size() >= burst) start = std::max(start, gate.starts[gate.starts.size() - burst] + interval);
    return start;
}

void keep_last(std::deque<std::int64_t>& times, std::size_t n) {
    while (times.size() > std::max<std::size_t>(n, 1))
        times.pop_front();
}

} // namespace

std::string host_key(const std::string& url) {
    const std::size_t scheme_end = url.find("://");
    const std::size_t start = scheme_end == std::string::npos ? 0 : scheme_end + 3;
    return to_lower_copy(url.substr(0, url.find_first_of("/?#", start)));
}

HostTurn::HostTurn(const std::string& url, std::int64_t pause_deadline_ms, std::int64_t turn_deadline_ms) {
    const std::string key = host_key(url);
    const HostPace pace = pace_of(key);
    HostGate* gate = gate_of(key);
    {
        std::unique_lock<std::mutex> lock(gate->mutex);
        // A pause that outlasts the deadline, set while this request waits for a slot or behind
        // another waiter, ends the wait there and then.
        const auto paused_too_long = [&] { return gate->paused_until_ms > pause_deadline_ms; };
        gate->freed.wait(lock, [&] { return paused_too_long() || (gate->in_flight < pace.parallel && !gate->pacing); });
        for (;;) {
            const std::int64_t now = clock_steady_ms();
            const std::int64_t start = next_start(*gate, pace, now);
            const bool no_slot = start == std::numeric_limits<std::int64_t>::max() || gate->in_flight >= pace.parallel;
            if (paused_too_long() || (!no_slot && start > turn_deadline_ms)) {
                if (paused_too_long()) paused_ms_ = std::max<std::int64_t>(gate->paused_until_ms - now, 1);
                lock.unlock();
                gate->freed.notify_all();
                return;
            }
            if (!no_slot && start <= now) {
                ++gate->in_flight;
                gate->look_back = per_second_of(pace);
                gate->starts.push_back(now);
                keep_last(gate->starts, static_cast<std::size_t>(pace.burst));
                break;
            }
            if (no_slot) {
                // Only an answer frees a slot, or a place in the rolling second: no time to sleep until.
                const int under_way = gate->in_flight;
                gate->freed.wait(lock, [&] { return paused_too_long() || gate->in_flight < under_way; });
            } else {
                gate->pacing = true;
                lock.unlock();
                clock_sleep_ms(start - now);
                lock.lock();
                gate->pacing = false;
            }
        }
    }
    gate_ = gate;
    gate->freed.notify_all();
}

HostTurn::~HostTurn() {
    if (!gate_) return;
    {
        std::lock_guard<std::mutex> lock(gate_->mutex);
        --gate_->in_flight;
        gate_->answered.push_back(clock_steady_ms());
        keep_last(gate_->answered, gate_->look_back);
    }
    gate_->freed.notify_all();
}

void host_pause(const std::string& url, std::int64_t ms) {
    if (ms <= 0) return;
    HostGate* gate = gate_of(host_key(url));
    {
        std::lock_guard<std::mutex> lock(gate->mutex);
        const std::int64_t until = clock_steady_ms() + std::min(ms, kMaxHostPauseMs);
        gate->paused_until_ms = std::max(gate->paused_until_ms, until);
    }
    // Requests waiting for a slot learn of the pause now rather than when a slot frees.
    gate->freed.notify_all();
}

void host_resend_turn(const std::string& url, bool may_wait) {
    const std::string key = host_key(url);
    const HostPace pace = pace_of(key);
    HostGate* gate = gate_of(key);
    std::unique_lock<std::mutex> lock(gate->mutex);
    --gate->in_flight;
    gate->answered.push_back(clock_steady_ms());
    keep_last(gate->answered, gate->look_back);
    for (std::int64_t now = clock_steady_ms(); may_wait; now = clock_steady_ms()) {
        const std::int64_t start = next_start(*gate, pace, now);
        if (start <= now) break;
        if (start == std::numeric_limits<std::int64_t>::max()) {
            const int under_way = gate->in_flight;
            gate->freed.wait(lock, [&] { return gate->in_flight < under_way; });
            continue;
        }
        lock.unlock();
        clock_sleep_ms(start - now);
        lock.lock();
    }
    ++gate->in_flight;
    gate->starts.push_back(clock_steady_ms());
    keep_last(gate->starts, static_cast<std::size_t>(pace.burst));
}

std::int64_t host_paused_ms(const std::string& url) {
    HostGate* gate = gate_of(host_key(url));
    std::lock_guard<std::mutex> lock(gate->mutex);
    return std::max<std::int64_t>(gate->paused_until_ms - clock_steady_ms(), 0);
}

void host_pace_start_run() {
    std::vector<HostGate*> known;
    {
        std::lock_guard<std::mutex> lock(gates_mutex());
        for (const auto& entry : gates())
            known.push_back(entry.second);
    }
    for (HostGate* gate : known) {
        std::lock_guard<std::mutex> lock(gate->mutex);
        gate->starts.clear();
        gate->answered.clear();
        gate->paused_until_ms = 0;
    }
    g_run_began_ms = clock_steady_ms();
}

void host_pace_forget(const std::string& url) {
    HostGate* gate = gate_of(host_key(url));
    std::lock_guard<std::mutex> lock(gate->mutex);
    gate->starts.clear();
    gate->answered.clear();
    gate->paused_until_ms = 0;
}
