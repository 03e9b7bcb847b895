#include "identity/identity_lookup.h"

#include "identity/sig_primitives.h"
#include "identity/typed_message.h"
#include "wallet/clock.h"
#include "wallet/codecs.h"
#include "wallet/http_client.h"
#include "wallet/json_util.h"
#include "wallet/settings.h"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <future>
#include <map>
#include <memory>
#include <mutex>

namespace {

const std::int64_t kCacheLifeNs = 1800000000000LL; // 30 minutes
const std::int32_t kRequestTimeoutS = 15;

struct CachedIdentity {
    std::string pubkey;
    std::int64_t stored_ns = 0;
};

// Process-wide and never pruned: only keys that were found are stored, one per real handle.
std::mutex g_identity_mutex;
std::map<std::string, CachedIdentity> g_identity_cache;
// Look-ups under way: a second caller for the same handle waits for the first one's answer (found
// or not) instead of asking again. A cold gallery checks the same few signers many times at once.
std::map<std::string, std::shared_future<std::string>> g_identity_in_flight;

} // namespace

bool https_get_json_pinned(const std::string& url, nlohmann::json& out) {
    out = nullptr;
    std::string body, error;
    long status = 0;
    if (!http_get(url, body, error, kRequestTimeoutS, false, nullptr, &status) || status != 200 || body.empty())
        return false;
    nlohmann::json parsed = json_parse_or_discarded(body);
    if (parsed.is_discarded()) return false;
    out = std::move(parsed);
    return true;
}

namespace {

// The key the platform names for name@host, or "" when the request or its reply fails.
std::string fetch_identity_pubkey(const std::string& platform_base, const std::string& name, const std::string& host) {
    // A handle comes from the chain's records: a "/", "?", "#" or line break in it must not reach
    // another path of the platform.
    const std::string segment = url_escape(name);
    if (segment.empty()) return "";
    nlohmann::json reply;
    if (!https_get_json_pinned(platform_base + "/api/bsvalias/id/" + segment + "@" + host, reply)) return "";
    if (!reply.is_object()) return "";
    const std::string key_text = msg_field_str(reply, "pubkey", "publicKey");
    if (key_text.empty()) return "";
    Bytes key;
    if (!msg_hex_to_bytes(key_text, key)) return "";
    return normalize_pubkey(key);
}

// Ends the look-up under way for the key: keeps a found key, and hands the answer to the callers
// that waited for it.
void settle_lookup(const std::string& cache_key, const std::string& pubkey, std::promise<std::string>& answer) {
    std::lock_guard<std::mutex> lock(g_identity_mutex);
    if (!pubkey.empty()) g_identity_cache[cache_key] = CachedIdentity{pubkey, clock_steady_ns()};
    g_identity_in_flight.erase(cache_key);
    answer.set_value(pubkey);
}

} // namespace

bool split_paymail(const std::string& text, std::string& name, std::string& domain) {
    name.clear();
    domain.clear();
    const std::string trimmed = msg_trim(text);
    const std::size_t at = trimmed.find('@');
    if (at == std::string::npos || at == 0 || at + 1 >= trimmed.size()) return false;
    name = trimmed.substr(0, at);
    domain = trimmed.substr(at + 1);
    return true;
}

std::string lookup_identity_pubkey(const std::string& handle, const std::string& paymail) {
    const std::string name = to_lower_copy(msg_norm_handle(handle));
    if (name.empty()) return "";
    const ServiceSettings settings = service_settings();
    const std::string host = to_lower_copy(settings.platform_host);

    std::string pm_name, pm_domain;
    if (split_paymail(paymail, pm_name, pm_domain)) {
        const std::string local = to_lower_copy(msg_norm_handle(pm_name));
        // The same name on another paymail domain belongs to someone the platform does not know.
        if (!local.empty() && local == name && to_lower_copy(pm_domain) != host) return "";
    }

    const std::string cache_key = name + "@" + host;
    std::promise<std::string> answer;
    {
        std::unique_lock<std::mutex> lock(g_identity_mutex);
        auto it = g_identity_cache.find(cache_key);
        if (it != g_identity_cache.end() && clock_steady_ns() - it->second.stored_ns < kCacheLifeNs)
            return it->second.pubkey;
        auto pending = g_identity_in_flight.find(cache_key);
        if (pending != g_identity_in_flight.end()) {
            std::shared_future<std::string> shared = pending->second;
            lock.unlock();
            return shared.get();
        }
        g_identity_in_flight[cache_key] = answer.get_future().share();
    }
    // Whatever way the request ends, the callers waiting on it get an answer and the next caller
    // asks afresh (a failure is not kept).
    std::string pubkey;
    try {
        pubkey = fetch_identity_pubkey(settings.platform_base, name, host);
    } catch (...) {
        settle_lookup(cache_key, "", answer);
        throw;
    }
    settle_lookup(cache_key, pubkey, answer);
    return pubkey;
}

void clear_identity_cache() {
    std::lock_guard<std::mutex> lock(g_identity_mutex);
    g_identity_cache.clear();
}
