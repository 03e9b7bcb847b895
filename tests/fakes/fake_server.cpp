#include "fakes/fake_server.h"

#include "fakes/httplib_config.h"
#include "wallet/clock.h"
#include "wallet/host_pace.h"
#include "wallet/http_client.h"

#include <nlohmann/json.hpp>

#include <pthread.h>
#include <sys/socket.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <deque>
#include <regex>
#include <set>
#include <stdexcept>
#include <utility>

FakeResponse json_reply(const nlohmann::json& body, int status) {
    FakeResponse r;
    r.status = status;
    r.body = body.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    return r;
}

namespace {

struct FakeRoute {
    std::string method;
    std::regex pattern;
    FakeHandler handler;
};

struct FaultEntry {
    std::string prefix;
    FakeFault fault;
};

bool starts_with(const std::string& text, const std::string& prefix) {
    return text.compare(0, prefix.size(), prefix) == 0;
}

FakeResponse json_error(int status, const std::string& message) {
    FakeResponse response;
    response.status = status;
    response.body = "{\"error\":\"" + message + "\"}";
    return response;
}

} // namespace

// cpp-httplib's own pool has a fixed number of threads, and a kept-alive connection holds its
// thread until the client lets go; with more connections than threads the rest wait for a
// keep-alive time-out. This queue starts another worker whenever none is idle, so every
// connection the client opens is served at once, as a real service would.
struct GrowingTaskQueue : httplib::TaskQueue {
    // Started up front, as the library's own pool does, so that a client with a few connections
    // adds no threads to the process while it runs (tests count the product's threads).
    static constexpr int kInitialWorkers = 16;

    GrowingTaskQueue() {
        std::lock_guard<std::mutex> lock(mutex);
        for (int i = 0; i < kInitialWorkers; ++i)
            workers.emplace_back([this] { work(); });
    }

    std::mutex mutex;
    std::condition_variable wake;
    std::deque<std::function<void()>> jobs;
    std::vector<std::thread> workers;
    std::size_t idle = 0;
    bool stopping = false;

    void enqueue(std::function<void()> fn) override {
        std::lock_guard<std::mutex> lock(mutex);
        jobs.push_back(std::move(fn));
        if (idle >= jobs.size()) {
            wake.notify_one();
            return;
        }
        workers.emplace_back([this] { work(); });
    }

    void shutdown() override {
        {
            std::lock_guard<std::mutex> lock(mutex);
            stopping = true;
        }
        wake.notify_all();
        for (auto& worker : workers)
            worker.join();
        workers.clear();
    }

    void work() {
        std::unique_lock<std::mutex> lock(mutex);
        for (;;) {
            ++idle;
            wake.wait(lock, [this] { return stopping || !jobs.empty(); });
            --idle;
            if (jobs.empty()) return;
            std::function<void()> job = std::move(jobs.front());
            jobs.pop_front();
            lock.unlock();
            job();
            lock.lock();
        }
    }
};

struct FakeServerState {
    std::unique_ptr<httplib::Server> server;
    bool tls = false;
    int port = 0;
    int listen_socket = -1;

    mutable std::mutex mutex;
    std::vector<FakeRoute> routes;
    std::vector<FaultEntry> faults;
    std::vector<FakeRequest> requests;
    std::set<std::pair<std::string, int>> connections;
    std::string flight_prefix; // in-flight counts cover only paths under it
    double rate_per_second = 0;
    int rate_burst = 1;
    double tokens = 0;
    std::int64_t tokens_at_ms = 0;
    std::deque<std::int64_t> admitted_ms; // requests let through in the last second, oldest first
    int rate_limited = 0;
    int in_flight = 0;
    int peak_in_flight = 0;
    std::condition_variable flight_changed; // with `mutex`, on every new peak_in_flight and release
    bool held_released = false;
    std::atomic<std::int64_t> handler_cpu_ns{0};
};

std::int64_t thread_cpu_ns() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<std::int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec;
}

namespace {

// Picks the fault of the longest matching prefix that still has requests left and spends one of
// them; the caller gets a copy with rate_limit already counted down.
bool take_fault(FakeServerState& state, const std::string& path, FakeFault& taken, bool& rate_limited) {
    FaultEntry* best = nullptr;
    for (auto& entry : state.faults) {
        if (!starts_with(path, entry.prefix) || entry.fault.times == 0) continue;
        if (!best || entry.prefix.size() > best->prefix.size()) best = &entry;
    }
    if (!best) return false;
    FakeFault& fault = best->fault;
    if (fault.times > 0) --fault.times;
    rate_limited = fault.rate_limit > 0;
    if (rate_limited) --fault.rate_limit;
    taken = fault;
    return true;
}

FakeRequest to_fake_request(const httplib::Request& req) {
    FakeRequest request;
    request.method = req.method;
    request.path = req.path;
    request.body = req.body;
    request.remote_port = req.remote_port;
    request.query.insert(req.params.begin(), req.params.end());
    request.headers.insert(req.headers.begin(), req.headers.end());
    return request;
}

FakeHandler find_route(const FakeServerState& state, FakeRequest& request) {
    std::smatch match;
    for (const auto& route : state.routes) {
        if (route.method != request.method || !std::regex_match(request.path, match, route.pattern)) continue;
        request.matches.assign(match.begin(), match.end());
        return route.handler;
    }
    return nullptr;
}

// Takes a token of the rate limit; false with the whole seconds until one is there when none is.
// The caller holds the state's mutex.
bool take_rate_token(FakeServerState& state, int& retry_after_s) {
    if (state.rate_per_second <= 0) return true;
    const std::int64_t now = clock_steady_ms();
    state.tokens =
        std::min<double>(state.rate_burst, state.tokens + (now - state.tokens_at_ms) * state.rate_per_second / 1000.0);
    state.tokens_at_ms = now;
    while (!state.admitted_ms.empty() && state.admitted_ms.front() <= now - 1000)
        state.admitted_ms.pop_front();
    // Strict as the service: never more than the rate within any one second, however full the bucket.
    const auto per_second = static_cast<std::size_t>(std::max(1.0, std::floor(state.rate_per_second)));
    if (state.tokens >= 1 && state.admitted_ms.size() < per_second) {
        state.tokens -= 1;
        state.admitted_ms.push_back(now);
        return true;
    }
    ++state.rate_limited;
    retry_after_s = std::max(1, static_cast<int>(std::ceil((1 - state.tokens) / state.rate_per_second)));
    return false;
}

// Faults are applied before the handler so that every route, and paths with no route, can be
// made to fail. The request is recorded before any delay, so a client that gave up still shows it.
FakeResponse dispatch(FakeServerState& state, FakeRequest& request) {
    FakeHandler handler;
    FakeFault fault;
    bool has_fault = false;
    bool rate_limited = false;
    int retry_after_s = 0;
    {
        std::lock_guard<std::mutex> lock(state.mutex);
        handler = find_route(state, request);
        state.requests.push_back(request);
        if (!take_rate_token(state, retry_after_s)) {
            FakeResponse refused = json_error(429, "rate limited");
            refused.retry_after_s = retry_after_s;
            return refused;
        }
        has_fault = take_fault(state, request.path, fault, rate_limited);
    }
    if (has_fault) {
        if (fault.gather > 0) {
            std::unique_lock<std::mutex> lock(state.mutex);
            state.flight_changed.wait_for(lock, std::chrono::seconds(10),
                                          [&] { return state.peak_in_flight >= fault.gather || state.held_released; });
        }
        if (fault.delay_ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(fault.delay_ms));
        if (rate_limited) return json_error(429, "rate limited");
        if (fault.html) {
            FakeResponse response;
            response.status = fault.status ? fault.status : 500;
            response.content_type = "text/html";
            response.body = "<!DOCTYPE html>\n<html><head><title>Error</title></head><body><h1>" +
                            std::to_string(response.status) + " Error</h1></body></html>\n";
            return response;
        }
        if (fault.status) return json_error(fault.status, "injected fault");
        if (fault.bad_json) {
            FakeResponse response;
            response.body = "{\"truncated\": [1, 2";
            return response;
        }
    }
    if (!handler) return json_error(404, "no route");
    try {
        return handler(request);
    } catch (const std::exception& e) {
        return json_error(500, std::string("handler threw: ") + e.what());
    } catch (...) {
        return json_error(500, "handler threw");
    }
}

void serve(FakeServerState& state, const httplib::Request& req, httplib::Response& res) {
    const std::int64_t cpu_begin = thread_cpu_ns();
    FakeRequest request = to_fake_request(req);
    bool counted = false;
    {
        std::lock_guard<std::mutex> lock(state.mutex);
        state.connections.insert({req.remote_addr, req.remote_port});
        counted = starts_with(request.path, state.flight_prefix);
        if (counted && ++state.in_flight > state.peak_in_flight) {
            state.peak_in_flight = state.in_flight;
            state.flight_changed.notify_all();
        }
    }
    FakeResponse response = dispatch(state, request);
    if (counted) {
        std::lock_guard<std::mutex> lock(state.mutex);
        --state.in_flight;
    }
    res.status = response.status;
    if (response.retry_after_s > 0) res.set_header("Retry-After", std::to_string(response.retry_after_s));
    res.set_content(response.body, response.content_type.c_str());
    state.handler_cpu_ns += thread_cpu_ns() - cpu_begin;
}

} // namespace

namespace {
std::mutex tls_mutex;
std::string tls_cert_path, tls_key_path;
} // namespace

void serve_fakes_over_tls(const std::string& cert_pem_path, const std::string& key_pem_path) {
    std::lock_guard<std::mutex> lock(tls_mutex);
    tls_cert_path = cert_pem_path;
    tls_key_path = key_pem_path;
}

FakeServer::FakeServer() : state_(new FakeServerState) {
    FakeServerState& state = *state_;
    {
        std::lock_guard<std::mutex> lock(tls_mutex);
        state.tls = !tls_cert_path.empty();
        if (state.tls) {
            auto secure = std::make_unique<httplib::SSLServer>(tls_cert_path.c_str(), tls_key_path.c_str());
            if (!secure->is_valid()) throw std::runtime_error("fake server: cannot load the TLS certificate");
            state.server = std::move(secure);
        } else {
            state.server = std::make_unique<httplib::Server>();
        }
    }
    // Clients under test keep connections open across calls; let them, so connections can be counted.
    // Over TLS the fake stands in for the real services, which keep an idle connection for a minute
    // or more; a test's own server drops it after 2 s so that stopping never waits long.
    state.server->set_keep_alive_max_count(1000);
    state.server->set_keep_alive_timeout(state.tls ? 60 : 2);
    // Headers and body go out in separate writes; without this, Nagle and delayed ACKs add 40 ms
    // to every request on a kept-alive connection.
    state.server->set_tcp_nodelay(true);
    // A reply of megabytes to a client slowed by sanitizers on a busy machine is written for as
    // long as the client's own time-out allows, as a real service does; the library's 5 s would
    // cut it and read as a failed request.
    state.server->set_write_timeout(60, 0);
    state.server->set_read_timeout(60, 0);
    state.server->new_task_queue = [] { return new GrowingTaskQueue; };
    // The library listens with a backlog of 5, compiled into Debian's shared build (so
    // CPPHTTPLIB_LISTEN_BACKLOG in a header changes nothing); a burst of parallel connects then
    // loses SYNs and waits a second for the retry. Listening again on the bound socket raises it.
    state.server->set_socket_options([&state](int sock) {
        httplib::default_socket_options(sock);
        state.listen_socket = sock;
    });
    auto handler = [&state](const httplib::Request& req, httplib::Response& res) { serve(state, req, res); };
    state.server->Get(".*", handler);
    state.server->Post(".*", handler);
    state.server->Put(".*", handler);
    state.server->Delete(".*", handler);
    state.port = state.server->bind_to_any_port("127.0.0.1");
    if (state.port <= 0) throw std::runtime_error("fake server: cannot bind to 127.0.0.1");
    if (state.listen_socket < 0 || ::listen(state.listen_socket, SOMAXCONN) != 0)
        throw std::runtime_error("fake server: cannot raise the listen backlog");
    thread_ = std::thread([&state] {
        // Named before it starts its workers, which take the name from it: a test can tell the
        // fakes' threads from the program's.
        pthread_setname_np(pthread_self(), kFakeServerThreadName);
        state.server->listen_after_bind();
    });
    for (int i = 0; i < 5000 && !state.server->is_running(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    // The port may have served an earlier test, whose clock and pauses mean nothing to this one.
    host_pace_forget(base_url());
}

FakeServer::~FakeServer() {
    // A connection the client keeps alive would hold a worker until its keep-alive time-out runs
    // out, and stopping waits for every worker.
    http_close_idle_connections();
    state_->server->stop();
    if (thread_.joinable()) thread_.join();
}

std::string FakeServer::base_url() const {
    return (state_->tls ? "https://127.0.0.1:" : "http://127.0.0.1:") + std::to_string(state_->port);
}

void FakeServer::on(const std::string& method, const std::string& path_regex, FakeHandler handler) {
    std::lock_guard<std::mutex> lock(state_->mutex);
    state_->routes.push_back({method, std::regex(path_regex), std::move(handler)});
}

void FakeServer::set_fault(const std::string& path_prefix, const FakeFault& fault) {
    std::lock_guard<std::mutex> lock(state_->mutex);
    state_->held_released = false;
    for (auto& entry : state_->faults) {
        if (entry.prefix == path_prefix) {
            entry.fault = fault;
            return;
        }
    }
    state_->faults.push_back({path_prefix, fault});
}

void FakeServer::release_held() {
    std::lock_guard<std::mutex> lock(state_->mutex);
    state_->held_released = true;
    state_->flight_changed.notify_all();
}

void FakeServer::clear_faults() {
    std::lock_guard<std::mutex> lock(state_->mutex);
    state_->faults.clear();
}

int FakeServer::request_count(const std::string& path_prefix) const {
    std::lock_guard<std::mutex> lock(state_->mutex);
    int count = 0;
    for (const auto& request : state_->requests)
        if (starts_with(request.path, path_prefix)) ++count;
    return count;
}

int FakeServer::request_count(const std::string& method, const std::string& path_prefix) const {
    std::lock_guard<std::mutex> lock(state_->mutex);
    int count = 0;
    for (const auto& request : state_->requests)
        if (request.method == method && starts_with(request.path, path_prefix)) ++count;
    return count;
}

void FakeServer::set_rate_limit(double per_second, int burst) {
    std::lock_guard<std::mutex> lock(state_->mutex);
    state_->rate_per_second = per_second;
    state_->rate_burst = std::max(burst, 1);
    state_->tokens = state_->rate_burst;
    state_->tokens_at_ms = clock_steady_ms();
    state_->admitted_ms.clear();
}

int FakeServer::rate_limited_count() const {
    std::lock_guard<std::mutex> lock(state_->mutex);
    return state_->rate_limited;
}

int FakeServer::peak_in_flight() const {
    std::lock_guard<std::mutex> lock(state_->mutex);
    return state_->peak_in_flight;
}

void FakeServer::count_in_flight_under(const std::string& path_prefix) {
    std::lock_guard<std::mutex> lock(state_->mutex);
    state_->flight_prefix = path_prefix;
    state_->in_flight = 0;
    state_->peak_in_flight = 0;
}

int FakeServer::connection_count() const {
    std::lock_guard<std::mutex> lock(state_->mutex);
    return static_cast<int>(state_->connections.size());
}

std::vector<FakeRequest> FakeServer::requests() const {
    std::lock_guard<std::mutex> lock(state_->mutex);
    return state_->requests;
}

void FakeServer::reset_counts() {
    std::lock_guard<std::mutex> lock(state_->mutex);
    state_->requests.clear();
    state_->connections.clear();
    state_->rate_limited = 0;
    state_->peak_in_flight = state_->in_flight;
    state_->handler_cpu_ns = 0;
}

double FakeServer::handler_cpu_ms() const {
    return static_cast<double>(state_->handler_cpu_ns.load()) / 1e6;
}
