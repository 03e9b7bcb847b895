// The program's manners towards each service host, shared by every thread: at most so many
// requests in flight, a pace of so many a second (a token bucket), and a pause for everyone after
// the host answered 429 with Retry-After. Waits go through the clock seam.
#pragma once

#include <cstdint>
#include <string>

// Holds one of the host's request slots from construction to destruction. The constructor waits
// for a free slot, then for the host's next turn.
struct HostTurn {
    explicit HostTurn(const std::string& url);
    ~HostTurn();
    HostTurn(const HostTurn&) = delete;
    HostTurn& operator=(const HostTurn&) = delete;

private:
    struct HostGate* gate_ = nullptr;
};

// The host asked to be left alone for this many milliseconds: no request of any thread goes
// there before that.
void host_pause(const std::string& url, std::int64_t ms);

// "scheme://authority" of the URL in lower case: the key a host's pace and connections go by.
std::string host_key(const std::string& url);
