// Secure requests to a server that breaks off the TLS handshake in every way a flaky network or a
// rate-limiting proxy does, many times and from several threads at once. Schannel deletes each
// half-made context; no close notify is asked of one (Wine's Schannel cannot always make it). None
// of that may bring the program down, and every request must come back as a failure with a text.
#include "wallet/http_client.h"

#include "support/eventually.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

namespace {

// How the server answers the n-th connection.
enum class Breakoff {
    close_at_once,     // accept, then close before reading anything
    plain_http_429,    // read the client hello, answer a plain-text 429 page and close
    alert,             // read the client hello, answer a fatal handshake_failure alert and close
    cut_server_hello,  // read the client hello, send the start of a server hello and close
    garbage_and_reset, // read the client hello, send bytes that are no TLS record, then reset
};
constexpr int kBreakoffKinds = 5;

struct BreakingServer {
    SOCKET listener = INVALID_SOCKET;
    int port = 0;
    std::atomic<bool> stop{false};
    std::atomic<int> served{0};
    std::thread thread;

    bool start() {
        listener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        if (listener == INVALID_SOCKET) return false;
        sockaddr_in address = {};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        int length = sizeof(address);
        if (bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 || listen(listener, 64) != 0 ||
            getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0)
            return false;
        port = ntohs(address.sin_port);
        thread = std::thread([this] { serve(); });
        return true;
    }
    void serve() {
        while (!stop) {
            SOCKET client = accept(listener, nullptr, nullptr);
            if (client == INVALID_SOCKET) continue;
            answer(client, static_cast<Breakoff>(served++ % kBreakoffKinds));
        }
    }
    static void send_all(SOCKET client, const std::string& bytes) {
        send(client, bytes.data(), static_cast<int>(bytes.size()), 0);
    }
    static void answer(SOCKET client, Breakoff how) {
        if (how != Breakoff::close_at_once) {
            char hello[4096];
            recv(client, hello, sizeof(hello), 0);
        }
        switch (how) {
        case Breakoff::close_at_once:
            break;
        case Breakoff::plain_http_429:
            send_all(client, "HTTP/1.1 429 Too Many Requests\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
            break;
        case Breakoff::alert:
            send_all(client, std::string("\x15\x03\x03\x00\x02\x02\x28", 7));
            break;
        case Breakoff::cut_server_hello:
            send_all(client, std::string("\x16\x03\x03\x00\x50\x02\x00\x00\x4c\x03\x03\x11\x22", 13));
            break;
        case Breakoff::garbage_and_reset: {
            send_all(client, std::string("\x17\x03\x03\xff\xff garbage that is no record", 31));
            linger hard = {1, 0};
            setsockopt(client, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&hard), sizeof(hard));
            break;
        }
        }
        closesocket(client);
    }
    ~BreakingServer() {
        stop = true;
        if (listener != INVALID_SOCKET) closesocket(listener); // wakes the blocked accept
        if (thread.joinable()) thread.join();
    }
};

TEST(TlsHandshake, ManyBrokenHandshakesFailCleanly) {
    WSADATA wsa = {};
    ASSERT_EQ(WSAStartup(MAKEWORD(2, 2), &wsa), 0);
    {
        BreakingServer server;
        ASSERT_TRUE(server.start());
        const std::string url = "https://127.0.0.1:" + std::to_string(server.port) + "/v1/bsv/main/address/x/unspent";
        constexpr int kThreads = 4;
        constexpr int kEach = 40;
        std::atomic<int> failed_cleanly{0};
        std::atomic<int> succeeded{0};
        const auto started = std::chrono::steady_clock::now();
        std::vector<std::thread> clients;
        for (int t = 0; t < kThreads; ++t)
            clients.emplace_back([&] {
                for (int i = 0; i < kEach; ++i) {
                    std::string body;
                    std::string error;
                    if (http_get(url, body, error, 2, false))
                        ++succeeded;
                    else if (!error.empty())
                        ++failed_cleanly;
                }
            });
        for (std::thread& client : clients)
            client.join();
        const auto took =
            std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - started).count();
        EXPECT_EQ(succeeded.load(), 0);
        EXPECT_EQ(failed_cleanly.load(), kThreads * kEach);
        // The server takes one connection at a time: one whose client gave up waiting is taken
        // after the client returned.
        EXPECT_TRUE(eventually([&] { return server.served.load() >= kThreads * kEach; })) << server.served.load();
        RecordProperty("milliseconds", static_cast<int>(took));
    }
    WSACleanup();
}

} // namespace
