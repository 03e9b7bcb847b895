// The program's manners towards each service host, shared by every thread: at most so many
// requests in flight, no more than the host's rate in any rolling second, and a pause for everyone
// after the host refused one with 429. Waits go through the clock seam, and a request waiting for
// its time holds none of the host's slots.
#pragma once

#include <cstdint>
#include <limits>
#include <string>

// The longest a host may keep every request away, whatever its Retry-After asks: about the longest
// time-out of any request (a buyer's coin load, 90 s). A host that asks for an hour or a day is
// asked again after that.
constexpr std::int64_t kMaxHostPauseMs = 90000;

// Holds one of the host's request slots from construction to destruction. The constructor waits
// for a free slot and for the host's next turn. It gives up at once, and admitted() is false, when
// the host's pause lasts past `pause_deadline_ms` (on the steady clock), or when the turn would
// come after `turn_deadline_ms`; paused_ms() then says how much of the pause is left (0 when the
// pause is not why).
struct HostTurn {
    HostTurn(const std::string& url, std::int64_t pause_deadline_ms,
             std::int64_t turn_deadline_ms = std::numeric_limits<std::int64_t>::max());
    ~HostTurn();
    HostTurn(const HostTurn&) = delete;
    HostTurn& operator=(const HostTurn&) = delete;
    bool admitted() const { return gate_ != nullptr; }
    std::int64_t paused_ms() const { return paused_ms_; }

private:
    struct HostGate* gate_ = nullptr;
    std::int64_t paused_ms_ = 0;
};

// The host asked to be left alone for this many milliseconds (at most kMaxHostPauseMs): no request
// of any thread goes there before that.
void host_pause(const std::string& url, std::int64_t ms);

// The transport sent a request again by itself on a fresh connection, its kept-alive one having
// died under it: the request that died counts as answered, and the one sent again takes the
// host's next turn in the same slot, waiting for it when `may_wait` (else it goes at once,
// counted all the same).
void host_resend_turn(const std::string& url, bool may_wait);

// How much longer the host's pause keeps every request away, in milliseconds; 0 when it is not paused.
std::int64_t host_paused_ms(const std::string& url);

// A run of the program begins. What the run before it sent is not known here, and may have filled a
// paced host's rolling second a moment before it ended: no request goes to such a host before a
// second has passed since now. Every host's pace and pause is forgotten, as a new process has none.
void host_pace_start_run();

// Forgets the host's pace and pause (tests only: a new fake service may reuse a port, and a test's
// clock starts again where the last one started).
void host_pace_forget(const std::string& url);

// "scheme://authority" of the URL in lower case: the key a host's pace and connections go by.
std::string host_key(const std::string& url);
