// The HTTP client's test fixture over a fake service, shared by its test files.
#pragma once

#include "fakes/fake_clock.h"
#include "fakes/fake_server.h"
#include "support/temp_dir.h"
#include "wallet/settings.h"

#include <gtest/gtest.h>

#include <mutex>
#include <string>

inline const std::string kRateLimitText =
    "HTTP 429 \xE2\x80\x93 GorillaPool is rate-limiting. Wait a few seconds and try again.";
inline const std::string kDash = " \xE2\x80\x93 ";

inline FakeResponse ok_body(const std::string& body) {
    FakeResponse response;
    response.body = body;
    return response;
}

// A port that nothing listens on: one a fake server held and gave up.
inline int closed_port() {
    std::string url = FakeServer().base_url();
    return std::stoi(url.substr(url.rfind(':') + 1));
}

inline std::string header_of(const FakeRequest& request, const std::string& name) {
    auto it = request.headers.find(name);
    return it == request.headers.end() ? std::string() : it->second;
}

struct HttpClientTest : testing::Test {
    TempDataDir data_dir;
    FakeClock clock;
    FakeServer server;
    ServiceSettings saved = service_settings();

    void SetUp() override {
        ServiceSettings settings = saved;
        settings.platform_host = "platform.test";
        settings.platform_ip = "127.0.0.9";
        set_service_settings(settings);
        server.on("GET", "/data/(\\w+)",
                  [](const FakeRequest& r) { return ok_body("{\"id\":\"" + r.matches[1] + "\"}"); });
        server.on("POST", "/echo", [](const FakeRequest& r) { return ok_body(r.body); });
    }
    void TearDown() override { set_service_settings(saved); }

    std::string url(const std::string& path) const { return server.base_url() + path; }
    void clear_sleeps() {
        std::lock_guard<std::mutex> lock(clock.mutex);
        clock.sleeps.clear();
    }
};
