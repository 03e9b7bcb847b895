#include "wallet/http_client.h"

#include "wallet/clock.h"
#include "wallet/codecs.h"
#include "wallet/host_pace.h"
#include "wallet/kv_cofferly_wallet.h"
#include "wallet/settings.h"
#include "wallet/text_util.h"

#include <algorithm>
#include <climits>
#include <functional>
#include <iterator>
#include <limits>
#include <memory>
#include <mutex>
#include <vector>

namespace {

const char* const kUserAgent = "Kestrava-Cofferly/0.1";
const char* const kJsonContentType = "Content-Type: application/json";
const std::int64_t kBackoffBaseMs = 400;
const std::size_t kErrorBodyMaxBytes = 120;
const char* const kInitFailed = "curl init failed";
const char* const kReplyTooLarge = "the service's reply is larger than any honest one; refused";

struct CurlSlistDeleter {
    void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};
struct CurlTextDeleter {
    void operator()(char* text) const { curl_free(text); }
};
using SlistPtr = std::unique_ptr<curl_slist, CurlSlistDeleter>;

bool is_success(long status) {
    return status >= 200 && status <= 299;
}

// 400 ms doubled n times; the shift is capped so a caller's huge attempt count cannot overflow it.
std::int64_t backoff_ms(std::int32_t n) {
    return kBackoffBaseMs << std::min<std::int32_t>(std::max(n, 0), 30);
}

// True only when the URL's authority is exactly the loopback host, with at most a numeric port.
// Anything else (user info, a longer name that starts like the loopback one) keeps the checks.
bool is_loopback_https(const std::string& url) {
    const std::string scheme = "https://";
    if (url.compare(0, scheme.size(), scheme) != 0) return false;
    const std::size_t start = scheme.size();
    const std::size_t end = url.find_first_of("/?#", start);
    const std::string authority = url.substr(start, end == std::string::npos ? std::string::npos : end - start);
    const std::size_t colon = authority.find(':');
    const std::string host = authority.substr(0, colon);
    if (host != "127.0.0.1" && host != "localhost") return false;
    if (colon == std::string::npos) return true;
    const std::string port = authority.substr(colon + 1);
    return std::all_of(port.begin(), port.end(), [](char c) { return c >= '0' && c <= '9'; });
}

void set_write_target(CURL* handle, std::string& target) {
    curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, curl_write_to_string);
    curl_easy_setopt(handle, CURLOPT_WRITEDATA, &target);
}

void set_post_body(CURL* handle, const std::string& body) {
    curl_easy_setopt(handle, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
    curl_easy_setopt(handle, CURLOPT_POSTFIELDS, body.c_str());
}

long response_code(CURL* handle) {
    long status = 0;
    curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &status);
    return status;
}

// The pause the answer's Retry-After asks for, in milliseconds; 0 without one.
std::int64_t retry_after_of(CURL* handle) {
    curl_off_t retry_after_s = 0;
    if (curl_easy_getinfo(handle, CURLINFO_RETRY_AFTER, &retry_after_s) != CURLE_OK || retry_after_s < 0) return 0;
    return std::min<curl_off_t>(retry_after_s, kMaxHostPauseMs / 1000) * 1000;
}

// Easy handles whose connections are kept alive between requests. A handle is used by one
// thread at a time; between requests it waits here, keyed by the scheme, host and port it last
// talked to and by the pinned address it carries, and only a request with the same key takes it
// again, so a connection (and its TLS session) serves the next request to that host instead of a
// new handshake. libcurl's shared connection cache is not safe across threads; this pool is.
// Room for every host's side-by-side requests (see HostPace), so a Refresh finds its connections
// again instead of opening new ones.
constexpr std::size_t kIdleHandles = 48;

struct IdleHandle {
    std::string key;
    CurlHandle handle;
};

// Never destroyed: a detached request thread may still hand its handle back while the process
// exits.
std::mutex& idle_mutex() {
    static std::mutex* mutex = new std::mutex;
    return *mutex;
}
std::vector<IdleHandle>& idle_handles() {
    static std::vector<IdleHandle>* handles = new std::vector<IdleHandle>;
    return *handles;
}

// The host's key, with the platform pin when the URL gets one.
std::string pool_key(const std::string& url) {
    std::string key = host_key(url);
    const ServiceSettings settings = service_settings();
    if (!settings.platform_host.empty() && url.find(settings.platform_host) != std::string::npos)
        key += "|" + settings.platform_host + "=" + settings.platform_ip;
    return key;
}

// A handle that last served `key` (its connection likely still open), else a new one.
CurlHandle take_handle(const std::string& key) {
    {
        std::lock_guard<std::mutex> lock(idle_mutex());
        for (auto it = idle_handles().rbegin(); it != idle_handles().rend(); ++it) {
            if (it->key != key) continue;
            CurlHandle handle = std::move(it->handle);
            idle_handles().erase(std::next(it).base());
            return handle;
        }
    }
    return new_curl_handle();
}

// Keeps the handle, with its connection, for the next request to `key`. Its options are reset
// first so that it holds no pointer into the finished request. The oldest idle handle goes when
// the pool is full.
void give_back(const std::string& key, CurlHandle handle) {
    if (!handle) return;
    curl_easy_reset(handle.get());
    CurlHandle evicted;
    std::lock_guard<std::mutex> lock(idle_mutex());
    if (idle_handles().size() >= kIdleHandles) {
        evicted = std::move(idle_handles().front().handle);
        idle_handles().erase(idle_handles().begin());
    }
    idle_handles().push_back(IdleHandle{key, std::move(handle)});
}

// libcurl sends a request again by itself, on a fresh connection, when the kept-alive one it was
// sent on died without an answer. That request reaches the host like any other, so it waits for
// the host's next turn first; `url` is the request's own, which outlives the transfer.
int on_curl_debug(CURL*, curl_infotype type, char* text, size_t size, void* url) {
    static constexpr char kResent[] = "retrying a fresh connect";
    if (url && type == CURLINFO_TEXT && std::string(text, size).find(kResent) != std::string::npos)
        host_resend_turn(*static_cast<const std::string*>(url), !wallet_held_by_this_thread());
    return 0;
}

void pace_resends(CURL* handle, const std::string& url) {
    curl_easy_setopt(handle, CURLOPT_DEBUGFUNCTION, on_curl_debug);
    curl_easy_setopt(handle, CURLOPT_DEBUGDATA, const_cast<std::string*>(&url));
    curl_easy_setopt(handle, CURLOPT_VERBOSE, 1L);
}

// A handle for `url` that writes the answer into `target`, both it and `error` emptied first; null
// with the error text when libcurl has none.
CurlHandle new_request(const std::string& url, std::string& target, std::string& error) {
    target.clear();
    error.clear();
    CurlHandle curl = take_handle(pool_key(url));
    if (!curl) {
        error = kInitFailed;
        return nullptr;
    }
    curl_easy_setopt(curl.get(), CURLOPT_URL, url.c_str());
    pace_resends(curl.get(), url);
    set_write_target(curl.get(), target);
    // A reply that announces its size is refused before any of it arrives.
    curl_easy_setopt(curl.get(), CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(kMaxReplyBytes));
    return curl;
}

// Runs a request with the platform host pinned; the caller holds its turn at the host. After an
// answer the handle goes back to the pool with its connection; after a transport failure it is
// closed, connection and all. Either way the handle is released before the pin list it may point
// to. False with libcurl's text on a transport failure (a reply over the size bound is dropped);
// otherwise the status is set, and the pause the host asked for, if any.
bool perform_once(CurlHandle& curl, const std::string& url, std::string& target, long& status,
                  std::int64_t& retry_after_ms, std::string& error) {
    SlistPtr resolve(apply_pinned_resolve(curl.get(), url));
    const CURLcode rc = curl_easy_perform(curl.get());
    status = response_code(curl.get());
    retry_after_ms = retry_after_of(curl.get());
    if (rc == CURLE_OK) {
        give_back(pool_key(url), std::move(curl));
        return true;
    }
    curl.reset();
    if (rc == CURLE_FILESIZE_EXCEEDED ||
        (rc == CURLE_WRITE_ERROR && target.size() + CURL_MAX_WRITE_SIZE >= kMaxReplyBytes)) {
        target.clear();
        target.shrink_to_fit();
        error = kReplyTooLarge;
        return false;
    }
    error = curl_easy_strerror(rc);
    return false;
}

// Makes one request on its turn; false with the error text on a transport failure, otherwise the
// answer's status and the pause the host asked for are set.
using Attempt = std::function<bool(long& status, std::int64_t& retry_after_ms)>;

// How the program names the service at the URL's host, at the start of a sentence.
std::string service_name(const std::string& url) {
    const ServiceSettings settings = service_settings();
    const std::string key = host_key(url);
    if (key.empty()) return "The service";
    if (key == host_key(settings.woc_base)) return "WhatsOnChain";
    if (key == host_key(settings.gorillapool_base)) return "GorillaPool";
    if (key == host_key(settings.arc_base)) return "ARC";
    if (key == host_key(settings.platform_base) || key == host_key(settings.local_bsvalias_base)) return "The platform";
    // Any other host is named as the URL names it, without the scheme.
    const std::size_t scheme_end = key.find("://");
    return "The service at " + (scheme_end == std::string::npos ? key : key.substr(scheme_end + 3));
}

std::string pause_text(const std::string& url, std::int64_t pause_ms) {
    const std::int64_t seconds = std::max<std::int64_t>((pause_ms + 999) / 1000, 1);
    return service_name(url) + " asks to wait " + std::to_string(seconds) + " s. Try again then.";
}

// Every request kind's answer to 429: the host pauses for every thread as long as it asked, and
// this request asks again after its back-off (or that pause, when longer), holding no slot
// meanwhile, while the next turn comes within `budget_ms` of the call and fewer than
// `max_requests` were made. No request waits out a pause past its own time, nor sleeps at all
// while its thread holds the wallet mutex (every wallet reader would wait with it), not even its
// own back-off after a 429 that named no pause: it fails at once with the wait. The first request still waits behind
// the host's other requests however long that queue. False with the error text on a transport failure or such a pause;
// otherwise `status` is the last answer's (429 when the host refused to the end).
bool paced_attempts(const std::string& url, std::int64_t budget_ms, std::int32_t max_requests, long& status,
                    std::string& error, const Attempt& attempt) {
    const std::int64_t now = clock_steady_ms();
    const std::int64_t deadline_ms = now + budget_ms;
    const bool wallet_held = wallet_held_by_this_thread();
    const std::int64_t pause_deadline_ms = wallet_held ? now : deadline_ms;
    status = 0;
    for (std::int32_t n = 0;; ++n) {
        std::int64_t retry_after_ms = 0;
        {
            HostTurn turn(url, pause_deadline_ms, n == 0 ? std::numeric_limits<std::int64_t>::max() : deadline_ms);
            if (turn.paused_ms() > 0) {
                error = pause_text(url, turn.paused_ms());
                return false;
            }
            if (!turn.admitted()) return true;
            status = 0;
            if (!attempt(status, retry_after_ms)) return false;
        }
        if (status != 429) return true;
        host_pause(url, retry_after_ms);
        if (n + 1 >= max_requests) return true;
        const std::int64_t wait_ms = std::max(backoff_ms(n), retry_after_ms);
        const bool waits_too_long = clock_steady_ms() + wait_ms > deadline_ms;
        if ((retry_after_ms > 0 && waits_too_long) || wallet_held) {
            error = pause_text(url, wait_ms);
            return false;
        }
        if (waits_too_long) return true;
        clock_sleep_ms(wait_ms);
    }
}

} // namespace

std::string try_again_text() {
    const ServiceSettings settings = service_settings();
    std::string longest_url;
    std::int64_t longest_ms = 0;
    for (const std::string* base :
         {&settings.woc_base, &settings.gorillapool_base, &settings.arc_base, &settings.platform_base}) {
        const std::int64_t left = base->empty() ? 0 : host_paused_ms(*base);
        if (left > longest_ms) {
            longest_ms = left;
            longest_url = *base;
        }
    }
    return longest_ms > 0 ? pause_text(longest_url, longest_ms) : "Try again.";
}

CurlHandle new_curl_handle() {
    // curl_global_init is not thread-safe, and requests start on many worker threads.
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
    return CurlHandle(curl_easy_init());
}

std::string url_escape(const std::string& text) {
    if (text.size() > static_cast<std::size_t>(INT_MAX)) return "";
    const CurlHandle handle = new_curl_handle();
    if (!handle) return "";
    std::unique_ptr<char, CurlTextDeleter> escaped(
        curl_easy_escape(handle.get(), text.data(), static_cast<int>(text.size())));
    return escaped ? std::string(escaped.get()) : std::string();
}

size_t curl_write_to_string(char* data, size_t size, size_t nmemb, void* userdata) {
    if (size != 0 && nmemb > SIZE_MAX / size) return 0;
    const size_t count = size * nmemb;
    if (!userdata || count == 0) return count;
    auto* target = static_cast<std::string*>(userdata);
    if (count > kMaxReplyBytes - std::min(target->size(), kMaxReplyBytes)) return 0;
    // An exception must not unwind through libcurl's C frames; a short count ends the transfer
    // with a write error instead.
    try {
        target->append(data, count);
    } catch (...) {
        return 0;
    }
    return count;
}

curl_slist* apply_pinned_resolve(CURL* handle, const std::string& url) {
    const ServiceSettings settings = service_settings();
    const std::string& host = settings.platform_host;
    if (!handle || host.empty() || settings.platform_ip.empty() || url.size() < host.size() ||
        url.find(host) == std::string::npos)
        return nullptr;
    const std::string entry = host + ":443:" + settings.platform_ip;
    const std::string www_entry = "www." + entry;
    SlistPtr list(curl_slist_append(nullptr, entry.c_str()));
    if (!list) return nullptr;
    if (!curl_slist_append(list.get(), www_entry.c_str())) return nullptr;
    curl_easy_setopt(handle, CURLOPT_RESOLVE, list.get());
    curl_easy_setopt(handle, CURLOPT_IPRESOLVE, static_cast<long>(CURL_IPRESOLVE_V4));
    return list.release();
}

std::string http_error_text(long status, const std::string& body, const std::string& url) {
    if (status == 429)
        return "HTTP 429 \xE2\x80\x93 " + service_name(url) + " is rate-limiting. Wait a few seconds and try again.";
    std::string text = "HTTP " + std::to_string(status);
    if (body.empty() || body.find("<html") != std::string::npos || body.find("<HTML") != std::string::npos ||
        body.find("<!DOCTYPE") != std::string::npos)
        return text;
    std::size_t n = body.size();
    while (n > 0 && (body[n - 1] == '\n' || body[n - 1] == '\r' || body[n - 1] == ' '))
        --n;
    // One byte past the limit goes along so the cut can see whether it falls inside a character.
    return text + " \xE2\x80\x93 " + utf8_cut(body.substr(0, std::min(n, kErrorBodyMaxBytes + 1)), kErrorBodyMaxBytes);
}

bool http_get(const std::string& url, std::string& body, std::string& error, std::int32_t timeout_s, bool accept_404,
              const char* user_agent, long* status_out) {
    body.clear();
    error.clear();
    long unused = 0;
    long& status = status_out ? *status_out : unused;
    const long total_s = timeout_s < 2 ? 2L : static_cast<long>(timeout_s);
    const bool answered =
        paced_attempts(url, total_s * 1000, INT32_MAX, status, error, [&](long& got, std::int64_t& pause) {
            // The turn comes before the handle, so the handle is one another request there just gave back.
            CurlHandle curl = new_request(url, body, error);
            if (!curl) return false;
            CURL* h = curl.get();
            curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT, 8L);
            curl_easy_setopt(h, CURLOPT_TIMEOUT, total_s);
            curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, 1L);
            curl_easy_setopt(h, CURLOPT_MAXREDIRS, 5L);
            curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
            curl_easy_setopt(h, CURLOPT_USERAGENT, user_agent ? user_agent : kUserAgent);
            return perform_once(curl, url, body, got, pause, error);
        });
    if (!answered) return false;
    if (is_success(status) || (status == 404 && accept_404)) return true;
    error = http_error_text(status, body, url);
    return false;
}

bool http_post_json(const std::string& url, const std::string& json_body, std::string& response, std::string& error,
                    std::uint32_t timeout_s, std::int32_t attempts) {
    response.clear();
    error.clear();
    if (attempts < 1) {
        error = http_error_text(429, "", url);
        return false;
    }
    // long is 32 bits on Windows; a larger count must not wrap into a negative time-out.
    const long total_s = static_cast<long>(std::min<std::uint32_t>(timeout_s, static_cast<std::uint32_t>(LONG_MAX)));
    long status = 0;
    const bool answered = paced_attempts(url, std::max<std::int64_t>(total_s, 2) * 1000, attempts, status, error,
                                         [&](long& got, std::int64_t& pause) {
                                             CurlHandle curl = new_request(url, response, error);
                                             if (!curl) return false;
                                             SlistPtr headers(curl_slist_append(nullptr, kJsonContentType));
                                             if (!headers) {
                                                 error = kInitFailed;
                                                 return false;
                                             }
                                             CURL* h = curl.get();
                                             curl_easy_setopt(h, CURLOPT_HTTPHEADER, headers.get());
                                             set_post_body(h, json_body);
                                             curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT, 8L);
                                             curl_easy_setopt(h, CURLOPT_TIMEOUT, total_s);
                                             curl_easy_setopt(h, CURLOPT_USERAGENT, kUserAgent);
                                             return perform_once(curl, url, response, got, pause, error);
                                         });
    if (!answered) return false;
    if (is_success(status)) return true;
    error = http_error_text(status, response, url);
    return false;
}

void http_close_idle_connections() {
    std::vector<IdleHandle> closing;
    {
        std::lock_guard<std::mutex> lock(idle_mutex());
        closing.swap(idle_handles());
    }
}

void curl_session_reset(CurlSession& session) {
    if (session.handle) curl_easy_cleanup(session.handle);
    if (session.resolve) curl_slist_free_all(session.resolve);
    session.handle = nullptr;
    session.resolve = nullptr;
}

bool http_post_json_keepalive(CurlSession& session, const std::string& url, const std::string& json_body,
                              std::string& response, std::string& error) {
    response.clear();
    error.clear();
    if (!session.handle) {
        // A resolve list belongs to the handle it was set on; a new handle gets its own.
        curl_session_reset(session);
        session.handle = new_curl_handle().release();
        if (!session.handle) {
            error = kInitFailed;
            return false;
        }
    }
    SlistPtr headers(curl_slist_append(nullptr, kJsonContentType));
    if (!headers) {
        error = kInitFailed;
        return false;
    }
    CURL* h = session.handle;
    curl_easy_setopt(h, CURLOPT_URL, url.c_str());
    pace_resends(h, url);
    curl_easy_setopt(h, CURLOPT_HTTPHEADER, headers.get());
    set_post_body(h, json_body);
    set_write_target(h, response);
    curl_easy_setopt(h, CURLOPT_TIMEOUT, 2L);
    curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT, 2L);
    curl_easy_setopt(h, CURLOPT_TCP_KEEPALIVE, 1L);
    curl_easy_setopt(h, CURLOPT_USERAGENT, kUserAgent);
    if (!session.resolve) session.resolve = apply_pinned_resolve(h, url);
    CURLcode rc = CURLE_OK;
    long status = 0;
    const bool answered = paced_attempts(url, 2000, INT32_MAX, status, error, [&](long& got, std::int64_t& pause) {
        response.clear();
        rc = curl_easy_perform(h);
        got = response_code(h);
        pause = retry_after_of(h);
        return rc == CURLE_OK;
    });
    // The handle outlives this call; it must not keep pointers into this call's locals.
    curl_easy_setopt(h, CURLOPT_HTTPHEADER, static_cast<curl_slist*>(nullptr));
    curl_easy_setopt(h, CURLOPT_WRITEDATA, static_cast<void*>(nullptr));
    curl_easy_setopt(h, CURLOPT_DEBUGDATA, static_cast<void*>(nullptr));
    headers.reset();

    if (rc != CURLE_OK) {
        error = curl_easy_strerror(rc);
        // After a time-out the connection may still be good; anything else starts afresh next time.
        if (rc != CURLE_OPERATION_TIMEDOUT) curl_session_reset(session);
        return false;
    }
    // The host's pause outlasts the request: the error says how long, and the connection stays.
    if (!answered) return false;
    if (is_success(status)) return true;
    error = http_error_text(status, response, url);
    return false;
}

bool http_get_platform(const std::string& url, std::string& body, std::string& error) {
    body.clear();
    error.clear();
    long status = 0;
    const bool answered = paced_attempts(url, 12000, INT32_MAX, status, error, [&](long& got, std::int64_t& pause) {
        CurlHandle curl = new_request(url, body, error);
        if (!curl) return false;
        CURL* h = curl.get();
        curl_easy_setopt(h, CURLOPT_TIMEOUT, 12L);
        if (is_loopback_https(url)) {
            // The local test host has no certificate a client could check. Without the checks a
            // redirect could lead anywhere unverified, so none is followed.
            curl_easy_setopt(h, CURLOPT_SSL_VERIFYPEER, 0L);
            curl_easy_setopt(h, CURLOPT_SSL_VERIFYHOST, 0L);
            curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, 0L);
        } else {
            curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, 1L);
        }
        return perform_once(curl, url, body, got, pause, error);
    });
    if (!answered) return false;
    if (is_success(status)) return true;
    error = "HTTP " + std::to_string(status);
    return false;
}
