// Every HTTPS request of the wallet, chain and ordinals code: blocking calls over libcurl's easy
// interface that share one set of time-outs, the user agent, the pinned platform address, the
// back-off on HTTP 429 and the wording of errors. Requests to one host reuse a kept-alive
// connection.
#pragma once

#include <curl/curl.h>

#include <climits>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

struct CurlEasyDeleter {
    void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
};
using CurlHandle = std::unique_ptr<CURL, CurlEasyDeleter>;

// A new easy handle; libcurl's global set-up runs once first, however many threads ask at once.
// Null when libcurl cannot make one.
CurlHandle new_curl_handle();

// The text with every byte outside letters, digits and "-._~" written as %XX, fit for one path
// segment or query value; "" when libcurl cannot escape it.
std::string url_escape(const std::string& text);

// No honest reply comes near this: a transaction carrying a 10 MB artwork, as JSON with its script
// in hex and as text, is about half of it.
constexpr std::size_t kMaxReplyBytes = std::size_t(64) << 20;

// http_post_json's attempts for a request that may be sent as often as its time-out allows.
constexpr std::int32_t kUntilTimeOut = INT32_MAX;

// libcurl write callback: appends size * nmemb bytes to the std::string that userdata points to
// and returns that count; returns 0 (ending the transfer) when the text cannot grow or would pass
// kMaxReplyBytes.
size_t curl_write_to_string(char* data, size_t size, size_t nmemb, void* userdata);

// A kept-alive connection for repeated posts to one host. Not safe for concurrent use: its owner
// serialises calls. Both members are null until first use and after curl_session_reset.
struct CurlSession {
    CURL* handle = nullptr;
    curl_slist* resolve = nullptr;
};

// Every request below waits for its turn at the host (host_pace.h), and one host's requests share
// kept-alive connections. A reply over kMaxReplyBytes fails and is not kept. Every one answers
// HTTP 429 alike: the host pauses for every thread as long as its Retry-After asks, and the
// request asks again after 400 ms doubled each time (or that pause, when longer), holding no slot
// while it waits, as long as its next turn comes within its time-out. A request whose time-out
// ends before the host's pause does, or one that meets a pause or a refusal while its thread holds
// the wallet mutex (it never sleeps there), fails at once with "<service> asks to wait N s. Try
// again then.", the service named by its host.

// GET with redirects. True on status 200-299, or 404 when accept_404 is set. timeout_s below 2
// runs with 2 s. False with the library's text on a
// transport failure, else with http_error_text; the body of a failed answer stays in `body`.
// user_agent null sends the program's own; `status`, when given, receives the last answer's status
// (0 without one).
bool http_get(const std::string& url, std::string& body, std::string& error, std::int32_t timeout_s, bool accept_404,
              const char* user_agent = nullptr, long* status = nullptr);

// POST of a JSON text. True on status 200-299. At most `attempts` requests are made; attempts
// below 1 fails at once with the rate-limit text and makes no request. Error texts as for http_get.
// A read passes kUntilTimeOut: refused, it asks again for as long as its time-out allows.
bool http_post_json(const std::string& url, const std::string& json_body, std::string& response, std::string& error,
                    std::uint32_t timeout_s, std::int32_t attempts);

// POST of a JSON text on the session's connection, 2 s to connect and 2 s a request, retried
// only after a 429 within those 2 s.
// True on status 200-299. A transport failure other than a time-out resets the session.
bool http_post_json_keepalive(CurlSession& session, const std::string& url, const std::string& json_body,
                              std::string& response, std::string& error);

// Short GET for the platform's paymail services, 12 s. True on status 200-299; otherwise false
// with the library's text or "HTTP <status>". Certificate checks are off, and redirects not followed,
// only when the URL's host is exactly the loopback host.
bool http_get_platform(const std::string& url, std::string& body, std::string& error);

// Pins the platform host (and its "www." name) on port 443 to its fixed IPv4 address when the
// URL mentions the host. Returns the list the caller frees after the request, or null when
// nothing was pinned.
curl_slist* apply_pinned_resolve(CURL* handle, const std::string& url);

// How a read's failure text ends: "Try again." or, while a service's host keeps every request away
// after a 429, the longest such wait ("WhatsOnChain asks to wait 85 s. Try again then."), so that a
// user who tries again at once does not meet the same failure.
std::string try_again_text();

// The error text for an HTTP status and the body that came with it; a 429's names the service at
// the URL's host.
std::string http_error_text(long status, const std::string& body, const std::string& url = "");

// Closes the connections that finished requests keep open for the next request to the same host
// (http_get, http_post_json and http_get_platform reuse them). A request under way keeps its own.
void http_close_idle_connections();

// Cleans up the session's handle and resolve list and sets both to null.
void curl_session_reset(CurlSession& session);
