#include "wallet/http_client.h"

#include "fakes/fake_clock.h"
#include "fakes/fake_server.h"
#include "fakes/httplib_config.h"
#include "http_client_fixture.h"
#include "support/temp_dir.h"
#include "wallet/kv_cofferly_wallet.h"
#include "wallet/ossl_types.h"
#include "wallet/settings.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <openssl/x509.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <future>
#include <iterator>
#include <memory>
#include <mutex>
#include <thread>
#include <tuple>
#include <vector>

namespace {

// A bare cpp-httplib server, plain or TLS, for what the fake framework does not model:
// redirects (a Location header) and certificates.
struct RawServer {
    std::unique_ptr<httplib::Server> server;
    std::thread thread;
    int port = 0;

    explicit RawServer(std::unique_ptr<httplib::Server> s) : server(std::move(s)) {
        server->Get("/ok",
                    [](const httplib::Request&, httplib::Response& res) { res.set_content("fine", "text/plain"); });
        server->Get("/redirect", [](const httplib::Request&, httplib::Response& res) { res.set_redirect("/ok"); });
        server->Get(R"(/hop/(\d+))", [](const httplib::Request& req, httplib::Response& res) {
            const int left = std::stoi(req.matches[1]);
            if (left == 0)
                res.set_content("landed", "text/plain");
            else
                res.set_redirect("/hop/" + std::to_string(left - 1));
        });
        port = server->bind_to_any_port("127.0.0.1");
        thread = std::thread([this] { server->listen_after_bind(); });
        for (int i = 0; i < 5000 && !server->is_running(); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ~RawServer() {
        http_close_idle_connections();
        server->stop();
        thread.join();
    }
    std::string url(const std::string& scheme, const std::string& host, const std::string& path) const {
        return scheme + "://" + host + ":" + std::to_string(port) + path;
    }
};

// A self-signed certificate for a name no client will ask for, so every verified request fails.
std::unique_ptr<httplib::SSLServer> self_signed_server() {
    PkeyPtr key(EVP_EC_gen("P-256"));
    std::unique_ptr<X509, decltype(&X509_free)> cert(X509_new(), X509_free);
    if (!key || !cert) return nullptr;
    X509_set_version(cert.get(), 2);
    ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), 1);
    X509_gmtime_adj(X509_getm_notBefore(cert.get()), -3600);
    X509_gmtime_adj(X509_getm_notAfter(cert.get()), 3600);
    X509_set_pubkey(cert.get(), key.get());
    X509_NAME* name = X509_get_subject_name(cert.get());
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("example.invalid"), -1,
                               -1, 0);
    X509_set_issuer_name(cert.get(), name);
    if (!X509_sign(cert.get(), key.get(), EVP_sha256())) return nullptr;
    auto server = std::make_unique<httplib::SSLServer>(cert.get(), key.get());
    return server->is_valid() ? std::move(server) : nullptr;
}

} // namespace

TEST(HttpErrorText, Wording) {
    const std::string a119(119, 'a');
    struct Row {
        const char* name;
        long status;
        std::string body;
        std::string expected;
    } rows[] = {
        {"429 ignores the body", 429, "{\"error\":\"slow down\"}",
         "HTTP 429" + kDash + "The service is rate-limiting. Wait a few seconds and try again."},
        {"empty body", 500, "", "HTTP 500"},
        {"html lower", 502, "<html><body>Bad gateway</body></html>", "HTTP 502"},
        {"html upper", 502, "<HTML>Bad gateway</HTML>", "HTTP 502"},
        {"doctype anywhere", 503, "oops <!DOCTYPE html>", "HTTP 503"},
        {"json body, trailing break trimmed", 400, "{\"error\":\"bad\"}\r\n \n",
         "HTTP 400" + kDash + "{\"error\":\"bad\"}"},
        {"leading space and tabs stay", 400, "  \tx\t \n", "HTTP 400" + kDash + "  \tx\t"},
        {"only blanks", 500, " \r\n  \n", "HTTP 500" + kDash},
        {"cut at 120 bytes", 500, std::string(150, 'b'), "HTTP 500" + kDash + std::string(120, 'b')},
        {"trim happens before the cut", 500, std::string(119, 'c') + " d\n",
         "HTTP 500" + kDash + std::string(119, 'c') + " "},
        {"cut never splits a character", 500, a119 + "\xC3\xA9z", "HTTP 500" + kDash + a119},
        {"character ending at the limit stays", 500, a119.substr(1) + "\xC3\xA9z",
         "HTTP 500" + kDash + a119.substr(1) + "\xC3\xA9"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(http_error_text(row.status, row.body), row.expected);
    }
}

// A reply larger than any honest one is refused while it arrives, and none of it is kept: whether
// its length is announced or not.
TEST_F(HttpClientTest, RepliesPastTheBoundAreRefused) {
    RawServer raw(std::make_unique<httplib::Server>());
    raw.server->Get("/huge", [](const httplib::Request&, httplib::Response& res) {
        res.set_content(std::string(kMaxReplyBytes + 1, 'x'), "text/plain");
    });
    raw.server->Get("/endless", [](const httplib::Request&, httplib::Response& res) {
        res.set_chunked_content_provider("text/plain", [](std::size_t, httplib::DataSink& sink) {
            const std::string chunk(1 << 20, 'y');
            return sink.write(chunk.data(), chunk.size());
        });
    });
    for (const char* path : {"/huge", "/endless"}) {
        SCOPED_TRACE(path);
        std::string body, error;
        EXPECT_FALSE(http_get(raw.url("http", "127.0.0.1", path), body, error, 20, false));
        EXPECT_EQ(error, "the service's reply is larger than any honest one; refused");
        EXPECT_TRUE(body.empty());
    }
    std::string near(kMaxReplyBytes - 1, 'z');
    char two[2] = {'a', 'b'};
    EXPECT_EQ(curl_write_to_string(two, 1, 1, &near), 1u);
    EXPECT_EQ(curl_write_to_string(two, 1, 1, &near), 0u);
    EXPECT_EQ(near.size(), kMaxReplyBytes);
}

// A failed answer keeps its body for callers that parse error replies.
TEST_F(HttpClientTest, GetStatusOutcomes) {
    const std::string fault_body = "{\"error\":\"injected fault\"}";
    struct Row {
        int status;
        bool accept_404;
        bool ok;
    } rows[] = {{404, true, true}, {404, false, false}, {500, true, false}};
    for (const auto& row : rows) {
        SCOPED_TRACE(std::to_string(row.status) + (row.accept_404 ? " accepting 404" : ""));
        server.reset_counts();
        server.set_fault("/data", FakeFault{row.status});
        std::string body, error;
        EXPECT_EQ(http_get(url("/data/x"), body, error, 5, row.accept_404), row.ok);
        EXPECT_EQ(error, row.ok ? "" : "HTTP " + std::to_string(row.status) + kDash + fault_body);
        EXPECT_EQ(body, fault_body);
        EXPECT_EQ(server.request_count(), 1);
    }
    EXPECT_TRUE(clock.recorded_sleeps().empty());
}

TEST_F(HttpClientTest, PostBoundsRequestsByAttempts) {
    ServiceSettings settings = saved;
    settings.gorillapool_base = url("/api");
    set_service_settings(settings);
    struct Row {
        std::int32_t attempts;
        int rate_limit;
        bool ok;
        int requests;
        std::vector<std::int64_t> sleeps;
    } rows[] = {
        {0, 0, false, 0, {}},
        {-3, 0, false, 0, {}},
        {1, 5, false, 1, {}},
        {3, 5, false, 3, {400, 800}},
        {5, 10, false, 5, {400, 800, 1600, 3200}},
        {4, 2, true, 3, {400, 800}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.attempts);
        server.reset_counts();
        clear_sleeps();
        FakeFault fault;
        fault.rate_limit = row.rate_limit;
        server.set_fault("/echo", fault);
        std::string response = "stale", error = "stale";
        EXPECT_EQ(http_post_json(url("/echo"), "{\"n\":1}", response, error, 20, row.attempts), row.ok);
        EXPECT_EQ(server.request_count(), row.requests);
        EXPECT_EQ(clock.recorded_sleeps(), row.sleeps);
        EXPECT_EQ(error, row.ok ? "" : kRateLimitText);
        EXPECT_EQ(response, row.ok ? "{\"n\":1}" : row.requests ? "{\"error\":\"rate limited\"}" : "");
    }
}

TEST_F(HttpClientTest, PostSendsWholeJsonBodyWithAgent) {
    const std::string json("{\"a\":\"x\0y\"}", 11);
    std::string response, error;
    ASSERT_TRUE(http_post_json(url("/echo"), json, response, error, 8, 1)) << error;
    EXPECT_EQ(response, json);
    ASSERT_TRUE(http_get(url("/data/q?x=1"), response, error, 0, false)) << error;
    const std::vector<FakeRequest> sent = server.requests();
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0].body, json);
    EXPECT_EQ(header_of(sent[0], "Content-Type"), "application/json");
    EXPECT_EQ(header_of(sent[0], "User-Agent"), "Kestrava-Cofferly/0.1");
    EXPECT_EQ(header_of(sent[1], "User-Agent"), "Kestrava-Cofferly/0.1");
    EXPECT_EQ(sent[1].query.count("x"), 1u);
}

TEST_F(HttpClientTest, RedirectsFollowedOnlyWhereAllowed) {
    RawServer raw(std::make_unique<httplib::Server>());
    raw.server->Post("/moved", [](const httplib::Request&, httplib::Response& res) { res.set_redirect("/ok"); });
    std::string body, error;
    EXPECT_TRUE(http_get(raw.url("http", "127.0.0.1", "/hop/5"), body, error, 5, false)) << error;
    EXPECT_EQ(body, "landed");
    EXPECT_FALSE(http_get(raw.url("http", "127.0.0.1", "/hop/6"), body, error, 5, false));
    EXPECT_EQ(error, curl_easy_strerror(CURLE_TOO_MANY_REDIRECTS));
    EXPECT_FALSE(http_post_json(raw.url("http", "127.0.0.1", "/moved"), "{}", body, error, 8, 1));
    EXPECT_EQ(error, "HTTP 302");
    EXPECT_TRUE(http_get_platform(raw.url("http", "127.0.0.1", "/redirect"), body, error)) << error;
    EXPECT_EQ(body, "fine");
}

TEST_F(HttpClientTest, TransportErrorsAreNotRetried) {
    const std::string dead = "http://127.0.0.1:" + std::to_string(closed_port()) + "/x";
    const std::string refused = curl_easy_strerror(CURLE_COULDNT_CONNECT);
    std::string body, error;
    EXPECT_FALSE(http_get(dead, body, error, 5, true));
    EXPECT_EQ(error, refused);
    EXPECT_FALSE(http_post_json(dead, "{}", body, error, 5, 4));
    EXPECT_EQ(error, refused);
    EXPECT_FALSE(http_get_platform(dead, body, error));
    EXPECT_EQ(error, refused);
    EXPECT_TRUE(clock.recorded_sleeps().empty());
}

TEST_F(HttpClientTest, KeepaliveReusesOneConnection) {
    CurlSession session;
    std::string response, error;
    for (int i = 0; i < 4; ++i) {
        SCOPED_TRACE(i);
        const std::string json = "{\"i\":" + std::to_string(i) + "}";
        ASSERT_TRUE(http_post_json_keepalive(session, url("/echo"), json, response, error)) << error;
        EXPECT_EQ(response, json);
    }
    EXPECT_EQ(server.connection_count(), 1);
    EXPECT_EQ(header_of(server.requests().back(), "Content-Type"), "application/json");
    EXPECT_EQ(session.resolve, nullptr);

    // An HTTP failure is an answer on a good connection: no retry, and the connection stays.
    FakeFault failed;
    failed.status = 500;
    failed.times = 1;
    server.set_fault("/echo", failed);
    EXPECT_FALSE(http_post_json_keepalive(session, url("/echo"), "{}", response, error));
    EXPECT_EQ(error, "HTTP 500" + kDash + "{\"error\":\"injected fault\"}");
    EXPECT_NE(session.handle, nullptr);
    EXPECT_TRUE(http_post_json_keepalive(session, url("/echo"), "{}", response, error));
    EXPECT_EQ(server.request_count(), 6);
    EXPECT_EQ(server.connection_count(), 1);
    EXPECT_TRUE(clock.recorded_sleeps().empty());

    curl_session_reset(session);
    EXPECT_EQ(session.handle, nullptr);
}

TEST_F(HttpClientTest, KeepaliveDropsHandleOnTransportFailureButNotOnTimeout) {
    CurlSession session;
    std::string response, error;
    ASSERT_TRUE(http_post_json_keepalive(session, url("/echo"), "{}", response, error)) << error;

    const std::string dead = "http://127.0.0.1:" + std::to_string(closed_port()) + "/echo";
    EXPECT_FALSE(http_post_json_keepalive(session, dead, "{}", response, error));
    EXPECT_EQ(error, curl_easy_strerror(CURLE_COULDNT_CONNECT));
    EXPECT_EQ(session.handle, nullptr);

    // The one slow case: the session's 2 s limit is fixed, so the fake has to be slower than that.
    FakeFault slow;
    slow.delay_ms = 2150;
    slow.times = 1;
    server.set_fault("/echo", slow);
    EXPECT_FALSE(http_post_json_keepalive(session, url("/echo"), "{}", response, error));
    EXPECT_EQ(error, curl_easy_strerror(CURLE_OPERATION_TIMEDOUT));
    CURL* kept = session.handle;
    EXPECT_NE(kept, nullptr);
    EXPECT_TRUE(http_post_json_keepalive(session, url("/echo"), "{\"again\":1}", response, error)) << error;
    EXPECT_EQ(session.handle, kept);
    curl_session_reset(session);
}

TEST_F(HttpClientTest, PinnedResolveOnlyForThePlatformHost) {
    struct Row {
        const char* url;
        bool pinned;
    } rows[] = {
        {"https://platform.test/oi/submit", true},
        {"https://other.example/lookup?host=platform.test", true},
        {"platform.tes", false},
    };
    std::unique_ptr<CURL, decltype(&curl_easy_cleanup)> handle(curl_easy_init(), curl_easy_cleanup);
    ASSERT_NE(handle, nullptr);
    for (const auto& row : rows) {
        SCOPED_TRACE(row.url);
        std::unique_ptr<curl_slist, decltype(&curl_slist_free_all)> list(apply_pinned_resolve(handle.get(), row.url),
                                                                         curl_slist_free_all);
        ASSERT_EQ(list != nullptr, row.pinned);
        if (!row.pinned) continue;
        ASSERT_NE(list->next, nullptr);
        EXPECT_STREQ(list->data, "platform.test:443:127.0.0.9");
        EXPECT_STREQ(list->next->data, "www.platform.test:443:127.0.0.9");
        EXPECT_EQ(list->next->next, nullptr);
    }
    EXPECT_EQ(apply_pinned_resolve(nullptr, "https://platform.test/"), nullptr);
}

TEST_F(HttpClientTest, PlatformGetReportsBareStatus) {
    struct Row {
        FakeFault fault;
        std::string error;
        int requests;
        std::vector<std::int64_t> sleeps;
    } rows[] = {
        {{404}, "HTTP 404", 1, {}},
        // A refusal is asked again for as long as the 12 s allow.
        {{0, 10}, "HTTP 429", 5, {400, 800, 1600, 3200}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.error);
        server.reset_counts();
        clear_sleeps();
        server.set_fault("/data", row.fault);
        std::string body, error;
        EXPECT_FALSE(http_get_platform(url("/data/p"), body, error));
        EXPECT_EQ(error, row.error);
        EXPECT_EQ(server.request_count(), row.requests);
        EXPECT_EQ(clock.recorded_sleeps(), row.sleeps);
    }
    server.clear_faults();
    std::string body, error;
    ASSERT_TRUE(http_get_platform(url("/data/p"), body, error)) << error;
    EXPECT_EQ(header_of(server.requests().back(), "User-Agent"), "");
}

TEST_F(HttpClientTest, PlatformGetTrustsOnlyTheExactLoopbackHost) {
    std::unique_ptr<httplib::SSLServer> tls = self_signed_server();
    ASSERT_NE(tls, nullptr);
    RawServer raw(std::move(tls));
    const std::string port = std::to_string(raw.port);
    struct Row {
        std::string url;
        bool ok;
        std::string error;
    } rows[] = {
        {"https://127.0.0.1:" + port + "/ok", true, ""},
        {"https://localhost:" + port + "/ok", true, ""},
        // Names that merely start like the loopback host resolve to it too, but are not it.
        {"https://localhost.localhost:" + port + "/ok", false, ""},
        {"https://127.0.0.1.localhost:" + port + "/ok", false, ""},
        {"https://localhost:" + port + "@a.localhost:" + port + "/ok", false, ""},
        // With the checks off, a redirect is an answer, not a road to follow.
        {"https://127.0.0.1:" + port + "/redirect", false, "HTTP 302"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.url);
        std::string body, error;
        EXPECT_EQ(http_get_platform(row.url, body, error), row.ok) << error;
        if (row.ok) {
            EXPECT_EQ(body, "fine");
        } else {
            EXPECT_EQ(error, row.error.empty() ? curl_easy_strerror(CURLE_PEER_FAILED_VERIFICATION) : row.error);
        }
    }
}

// Every request waits in its handler until all of them have arrived (or a generous time-out
// passes), so they only succeed when the server holds all of them open at once.
TEST_F(HttpClientTest, FakeServerAnswersParallelRequestsTogether) {
    const int kParallel = 32;
    ServiceSettings settings = service_settings();
    settings.host_pace.parallel = kParallel;
    set_service_settings(settings);
    std::mutex mutex;
    std::condition_variable all_in;
    int arrived = 0;
    server.on("GET", "/together", [&](const FakeRequest&) {
        std::unique_lock<std::mutex> lock(mutex);
        if (++arrived == kParallel) all_in.notify_all();
        const bool met = all_in.wait_for(lock, std::chrono::seconds(10), [&] { return arrived >= kParallel; });
        return met ? ok_body("{}") : json_reply({{"error", "alone"}}, 503);
    });

    std::vector<std::thread> threads;
    std::vector<int> ok(kParallel, 0);
    for (int i = 0; i < kParallel; ++i)
        threads.emplace_back([&, i] {
            std::string body, error;
            ok[i] = http_get(url("/together"), body, error, 10, false) ? 1 : 0;
        });
    for (auto& thread : threads)
        thread.join();

    EXPECT_EQ(std::count(ok.begin(), ok.end(), 1), kParallel);
    EXPECT_EQ(server.peak_in_flight(), kParallel);
    EXPECT_EQ(server.request_count("GET", "/together"), kParallel);
    EXPECT_EQ(server.request_count("POST", "/together"), 0);
}

// Requests to one host, one after another, travel over one kept-alive connection; requests side
// by side each need their own, and get them back afterwards.
TEST_F(HttpClientTest, RequestsToOneHostReuseKeptConnections) {
    http_close_idle_connections();
    std::string body, error;
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(http_get(url("/data/a" + std::to_string(i)), body, error, 5, false)) << error;
        ASSERT_TRUE(http_post_json(url("/echo"), "{}", body, error, 5, 1)) << error;
    }
    EXPECT_EQ(server.request_count(), 6);
    EXPECT_EQ(server.connection_count(), 1);

    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([this] {
            std::string b, e;
            for (int i = 0; i < 3; ++i)
                http_get(url("/data/p"), b, e, 5, false);
        });
    for (auto& thread : threads)
        thread.join();
    EXPECT_EQ(server.request_count(), 18);
    EXPECT_LE(server.connection_count(), 5);

    // A failed answer is still an answer: the connection stays.
    server.set_fault("/data/", FakeFault{500});
    EXPECT_FALSE(http_get(url("/data/x"), body, error, 5, false));
    server.reset_counts();
    http_close_idle_connections();
    EXPECT_TRUE(http_post_json(url("/echo"), "{}", body, error, 5, 1));
    EXPECT_TRUE(http_post_json(url("/echo"), "{}", body, error, 5, 1));
    EXPECT_EQ(server.connection_count(), 1);
}
