// A small HTTP service on the loopback address for tests: routes answered by handlers, faults
// (429s, error statuses, HTML pages, bad JSON, delays) injected by path prefix before routing, and
// counts of requests and TCP connections. Native only, over cpp-httplib.
#pragma once

#include <nlohmann/json_fwd.hpp>

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

struct FakeRequest {
    std::string method, path, body;   // path without the query string
    std::vector<std::string> matches; // regex captures of the route (matches[0] = whole path)
    std::multimap<std::string, std::string> query;
    std::multimap<std::string, std::string> headers;
    int remote_port = 0;
};

struct FakeResponse {
    int status = 200;
    std::string body;
    std::string content_type = "application/json";
    int retry_after_s = 0; // sent as Retry-After when above 0
};

using FakeHandler = std::function<FakeResponse(const FakeRequest&)>;

// A JSON answer; text that is not UTF-8 is replaced rather than thrown on.
FakeResponse json_reply(const nlohmann::json& body, int status = 200);

struct FakeFault {
    int status = 0;        // answer this status (with a short JSON error body) instead of the handler; 0 = no
    int rate_limit = 0;    // answer 429 this many times first, then go on normally
    int delay_ms = 0;      // wait this long (real time, keep it short) before answering
    bool html = false;     // answer an HTML error page with `status` (500 when 0)
    bool bad_json = false; // answer 200 with a body that does not parse as JSON
    int times = -1;        // number of requests the fault applies to; -1 = every request
    // Hold each request until this many have been in flight at once (as peak_in_flight counts
    // them), release_held is called, or 10 s pass: requests that go out together are seen
    // together, and a step lands while a request waits, on any machine.
    int gather = 0;
};

struct FakeServerState;

// Servers made after this call speak TLS with the certificate and key of these PEM files, and
// their base URLs start "https://" and they keep an idle connection for 60 s, as the real services
// do; for clients that must meet a real handshake (Schannel's).
void serve_fakes_over_tls(const std::string& cert_pem_path, const std::string& key_pem_path);

// The name of every thread of a fake server (Linux shows it as the thread's comm).
constexpr const char* kFakeServerThreadName = "fake-server";

// Starts listening on 127.0.0.1 on a free port in its constructor, on its own thread.
struct FakeServer {
    FakeServer();
    ~FakeServer(); // stops and joins
    FakeServer(const FakeServer&) = delete;
    FakeServer& operator=(const FakeServer&) = delete;

    std::string base_url() const; // "http://127.0.0.1:<port>" (https after serve_fakes_over_tls)
    // method is "GET" or "POST"; the regex must match the whole path.
    void on(const std::string& method, const std::string& path_regex, FakeHandler handler);
    // Applies to paths starting with the prefix; a later fault for the same prefix replaces it.
    void set_fault(const std::string& path_prefix, const FakeFault& fault);
    void clear_faults();
    // Lets every request a fault's `gather` holds go on, now and until the next set_fault.
    void release_held();
    // As the services do: past `per_second` requests a second (a bucket of `burst`, and never more
    // than the whole rate in any rolling second), a request is answered 429 with the seconds until the next one may
    // come in Retry-After. Time is the process clock seam's, so a test's fake clock drives it. 0 lifts the limit.
    void set_rate_limit(double per_second, int burst);
    int rate_limited_count() const; // requests refused by the rate limit since start or reset_counts
    int request_count(const std::string& path_prefix = "") const; // requests whose path starts with the prefix
    int request_count(const std::string& method, const std::string& path_prefix) const; // of that method only
    int peak_in_flight() const;                // most requests being answered at one moment since start or reset_counts
    int connection_count() const;              // distinct TCP connections accepted so far
    std::vector<FakeRequest> requests() const; // every request so far, in order
    double handler_cpu_ms() const;             // CPU time its threads spent answering, since start or reset_counts
    void reset_counts();
    // From now on peak_in_flight counts only requests under the prefix (all of them for ""); call
    // it while no request is under way.
    void count_in_flight_under(const std::string& path_prefix);

private:
    std::unique_ptr<FakeServerState> state_;
    std::thread thread_;
};
