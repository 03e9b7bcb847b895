#include "wallet/host_pace.h"

#include "http_client_fixture.h"
#include "wallet/http_client.h"
#include "wallet/kv_cofferly_wallet.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <future>
#include <mutex>
#include <thread>
#include <tuple>
#include <vector>

namespace {

// A host that answers the first request of each connection and drops the connection, without a
// word, at the second, as a service under load does with kept-alive connections. It notes the
// clock seam's time of every request it reads.
struct DroppingHost {
    int listener = -1;
    int port = 0;
    std::atomic<bool> stopping{false};
    std::mutex mutex;
    std::vector<std::int64_t> times;
    std::thread thread;

    DroppingHost() {
        listener = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address = {};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof(address);
        if (::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
            ::listen(listener, 16) != 0 || ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0)
            return;
        port = ntohs(address.sin_port);
        thread = std::thread([this] { serve(); });
    }
    ~DroppingHost() {
        http_close_idle_connections();
        stopping = true;
        if (thread.joinable()) thread.join();
        ::close(listener);
    }
    bool wait_readable(int fd) {
        while (!stopping) {
            pollfd ready = {fd, POLLIN, 0};
            if (::poll(&ready, 1, 20) > 0) return true;
        }
        return false;
    }
    // Reads one request's head; false when the connection ended first.
    bool read_request(int fd) {
        std::string head;
        char buffer[1024];
        while (head.find("\r\n\r\n") == std::string::npos) {
            if (!wait_readable(fd)) return false;
            const ssize_t got = ::recv(fd, buffer, sizeof(buffer), 0);
            if (got <= 0) return false;
            head.append(buffer, static_cast<std::size_t>(got));
        }
        std::lock_guard<std::mutex> lock(mutex);
        times.push_back(clock_steady_ms());
        return true;
    }
    void serve() {
        static const std::string kAnswer =
            "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: 2\r\n\r\n{}";
        while (wait_readable(listener)) {
            const int connection = ::accept(listener, nullptr, nullptr);
            if (connection < 0) continue;
            if (read_request(connection) && ::send(connection, kAnswer.data(), kAnswer.size(), MSG_NOSIGNAL) > 0)
                read_request(connection);
            ::close(connection);
        }
    }
};

} // namespace

TEST_F(HttpClientTest, GetBacksOffOnRateLimit) {
    // The refusals name the host that sent them; with the wallet mutex held no back-off is slept.
    const std::string other = "The service at " + url("").substr(std::string("http://").size());
    struct Row {
        int rate_limit;
        const char* service;
        bool wallet_held;
        bool ok;
        int requests;
        std::vector<std::int64_t> sleeps;
        std::string error;
    } rows[] = {
        {0, "", false, true, 1, {}, ""},
        {3, "", false, true, 4, {400, 800, 1600}, ""},
        // The waits stay within the read's own 10 s.
        {10, "GorillaPool", false, false, 5, {400, 800, 1600, 3200}, kRateLimitText},
        {10,
         "",
         false,
         false,
         5,
         {400, 800, 1600, 3200},
         "HTTP 429" + kDash + other + " is rate-limiting. Wait a few seconds and try again."},
        {3, "GorillaPool", true, false, 1, {}, "GorillaPool asks to wait 1 s. Try again then."},
        {3, "", true, false, 1, {}, other + " asks to wait 1 s. Try again then."},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(std::to_string(row.rate_limit) + row.service + (row.wallet_held ? " held" : ""));
        ServiceSettings settings = saved;
        if (std::string(row.service) == "GorillaPool") settings.gorillapool_base = url("/api");
        set_service_settings(settings);
        clock.advance(100000);
        server.reset_counts();
        clear_sleeps();
        FakeFault fault;
        fault.rate_limit = row.rate_limit;
        server.set_fault("/data", fault);
        WalletLock held(kv_wallet_mutex(), std::defer_lock);
        if (row.wallet_held) held.lock();
        std::string body = "stale", error = "stale";
        EXPECT_EQ(http_get(url("/data/abc"), body, error, 10, false), row.ok);
        EXPECT_EQ(server.request_count("/data"), row.requests);
        EXPECT_EQ(clock.recorded_sleeps(), row.sleeps);
        EXPECT_EQ(error, row.error);
        if (row.ok) {
            EXPECT_EQ(body, "{\"id\":\"abc\"}");
        }
    }
}

// Past its rate the host answers 429 with Retry-After. The read waits that long rather than its
// shorter back-off, and so does every request after it, within its own time.
TEST_F(HttpClientTest, GetWaitsOutTheHostsRetryAfter) {
    server.set_rate_limit(0.5, 1);
    std::string body, error;
    ASSERT_TRUE(http_get(url("/data/a"), body, error, 10, false)) << error;
    ASSERT_TRUE(http_get(url("/data/b"), body, error, 10, false)) << error;
    EXPECT_EQ(server.request_count(), 3);
    EXPECT_EQ(clock.recorded_sleeps(), std::vector<std::int64_t>{2000});
    EXPECT_EQ(header_of(server.requests().back(), "User-Agent"), "Kestrava-Cofferly/0.1");

    // A pause past the read's time, or any while the wallet is held, fails it and the next at once
    // with the wait; no host asks for more than 90 s, and then the next read goes at once.
    const std::tuple<int, bool, std::string, int> rows[] = {
        {30, false, "GorillaPool", 30},
        {30, false, "WhatsOnChain", 30},
        {3600, false, "WhatsOnChain", 90},
        {86400, false, "WhatsOnChain", 90},
        {2, true, "WhatsOnChain", 2}}; // Retry-After, the wallet held, the service, the wait named
    for (const auto& [retry_after_s, wallet_held, service, wait_s] : rows) {
        SCOPED_TRACE(std::to_string(retry_after_s) + service + (wallet_held ? " held" : ""));
        ServiceSettings settings = service_settings();
        (service == "GorillaPool" ? settings.gorillapool_base : settings.woc_base) = url("/api");
        set_service_settings(settings);
        clock.advance(100000);
        server.set_rate_limit(1.0 / retry_after_s, 1);
        ASSERT_TRUE(http_get(url("/data/c"), body, error, 10, false)) << error;
        clear_sleeps();
        WalletLock held(kv_wallet_mutex(), std::defer_lock);
        if (wallet_held) held.lock();
        for (const char* path : {"/data/d", "/data/e"}) {
            EXPECT_FALSE(http_get(url(path), body, error, 10, false));
            EXPECT_EQ(error, service + " asks to wait " + std::to_string(wait_s) + " s. Try again then.");
        }
        // A read that failed on the way says the same wait rather than "Try again." at once.
        EXPECT_EQ(try_again_text(), service + " asks to wait " + std::to_string(wait_s) + " s. Try again then.");
        clock.advance(wait_s * 1000);
        EXPECT_EQ(try_again_text(), "Try again.");
        server.set_rate_limit(0, 1);
        EXPECT_TRUE(http_get(url("/data/f"), body, error, 10, false)) << error;
        EXPECT_EQ(clock.recorded_sleeps(), std::vector<std::int64_t>{});
    }
}

// A kept-alive connection that the host drops under a request makes libcurl send the request again
// by itself; that request waits for the host's turn like any other, so the host never sees two
// requests within a second at a pace of one a second.
TEST_F(HttpClientTest, ARequestSentAgainAfterADroppedConnectionKeepsTheHostsPace) {
    DroppingHost host;
    ASSERT_NE(host.port, 0);
    const std::string url = "http://127.0.0.1:" + std::to_string(host.port) + "/x";
    ServiceSettings settings = service_settings();
    settings.host_pace = HostPace{1, 1, 4};
    set_service_settings(settings);
    host_pace_forget(url);
    std::string body, error;
    for (int i = 0; i < 3; ++i) {
        EXPECT_TRUE(http_get(url, body, error, 10, false)) << error;
        EXPECT_EQ(body, "{}");
    }
    std::lock_guard<std::mutex> lock(host.mutex);
    ASSERT_EQ(host.times.size(), 5u) << "the second and third requests were each sent twice";
    for (std::size_t i = 1; i < host.times.size(); ++i)
        EXPECT_GE(host.times[i] - host.times[i - 1], 1000) << "request " << i;
}

// Every kind of request at a host paced as WhatsOnChain, strict at three a second: one after
// another none is refused; past a rate the host names, each waits out its Retry-After and asks
// again rather than fail.
TEST_F(HttpClientTest, EveryRequestKindKeepsThePaceAndWaitsOutRetryAfter) {
    ServiceSettings settings = service_settings();
    settings.woc_base = url("/v1/bsv/main");
    settings.woc_pace = ServiceSettings().woc_pace;
    set_service_settings(settings);
    CurlSession session;
    const std::function<bool(std::string&, std::string&)> kinds[] = {
        [&](std::string& body, std::string& error) { return http_get(url("/data/p"), body, error, 10, false); },
        [&](std::string& body, std::string& error) { return http_post_json(url("/echo"), "{}", body, error, 10, 4); },
        [&](std::string& body, std::string& error) {
            return http_post_json_keepalive(session, url("/echo"), "{}", body, error);
        },
        [&](std::string& body, std::string& error) { return http_get_platform(url("/data/p"), body, error); },
    };
    for (std::size_t kind = 0; kind < std::size(kinds); ++kind) {
        SCOPED_TRACE(kind);
        clock.advance(5000);
        server.reset_counts();
        clear_sleeps();
        server.set_rate_limit(3, 3);
        std::string body, error;
        for (int i = 0; i < 7; ++i)
            EXPECT_TRUE(kinds[kind](body, error)) << error;
        EXPECT_EQ(server.request_count(), 7);
        EXPECT_EQ(server.rate_limited_count(), 0);

        clock.advance(5000);
        server.reset_counts();
        clear_sleeps();
        server.set_rate_limit(0.5, 1);
        EXPECT_TRUE(kinds[kind](body, error)) << error;
        EXPECT_TRUE(kinds[kind](body, error)) << error;
        EXPECT_EQ(server.request_count(), 3);
        EXPECT_EQ(server.rate_limited_count(), 1);
        const std::vector<std::int64_t> sleeps = clock.recorded_sleeps();
        EXPECT_TRUE(!sleeps.empty() && sleeps.back() == 2000);

        // A pause past the request's own time is not waited out.
        clock.advance(5000);
        server.set_rate_limit(1.0 / 30, 1);
        EXPECT_TRUE(kinds[kind](body, error)) << error;
        EXPECT_FALSE(kinds[kind](body, error) || kinds[kind](body, error));
        EXPECT_EQ(error, "WhatsOnChain asks to wait 30 s. Try again then.");
        clock.advance(30000);
    }
    curl_session_reset(session);
}

// A request waiting out a refusal holds none of the host's slots: with one slot, another request
// goes and comes back meanwhile.
TEST_F(HttpClientTest, ARefusedRequestWaitsWithoutItsSlot) {
    ServiceSettings settings = service_settings();
    settings.host_pace.parallel = 1;
    set_service_settings(settings);
    std::mutex mutex;
    std::condition_variable changed;
    bool asleep = false, woken = false;
    ClockSeam seam;
    seam.sleep_ms = [&](std::int64_t) {
        std::unique_lock<std::mutex> lock(mutex);
        asleep = true;
        changed.notify_all();
        changed.wait(lock, [&] { return woken; });
    };
    set_clock_seam(seam);
    server.set_fault("/data/a", FakeFault{0, 1});
    std::thread first([&] {
        std::string body, error;
        EXPECT_TRUE(http_get(url("/data/a"), body, error, 10, false)) << error;
    });
    {
        std::unique_lock<std::mutex> lock(mutex);
        changed.wait(lock, [&] { return asleep; });
    }
    auto other = std::async(std::launch::async, [&] {
        std::string body, error;
        return http_get(url("/data/b"), body, error, 10, false);
    });
    EXPECT_EQ(other.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    {
        std::lock_guard<std::mutex> lock(mutex);
        woken = true;
    }
    changed.notify_all();
    first.join();
    EXPECT_TRUE(other.get());
    EXPECT_EQ(server.request_count("/data/a"), 2);
    reset_clock_seam();
}

// Many threads at a host paced as WhatsOnChain: at most two requests there at once, on at most
// two connections, none refused, and every read answered.
TEST_F(HttpClientTest, OneHostIsPacedForEveryThreadTogether) {
    ServiceSettings settings = service_settings();
    settings.woc_base = url("/v1/bsv/main");
    settings.woc_pace = ServiceSettings().woc_pace;
    set_service_settings(settings);
    server.set_rate_limit(3, 3);
    server.count_in_flight_under("/data");
    std::vector<std::thread> threads;
    std::atomic<int> ok{0};
    for (int t = 0; t < 16; ++t)
        threads.emplace_back([&] {
            std::string body, error;
            for (int i = 0; i < 2; ++i)
                ok += http_get(url("/data/p"), body, error, 30, false) ? 1 : 0;
        });
    for (auto& thread : threads)
        thread.join();
    EXPECT_EQ(ok, 32);
    EXPECT_EQ(server.rate_limited_count(), 0);
    EXPECT_LE(server.peak_in_flight(), 2);
    EXPECT_LE(server.connection_count(), 2);
}
