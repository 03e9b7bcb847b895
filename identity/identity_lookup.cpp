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
#include <map>
#include <memory>
#include <mutex>

namespace {

const std::int64_t kCacheLifeNs = 1800000000000LL; // 30 minutes
const long kRequestTimeoutS = 15;

struct CachedIdentity {
    std::string pubkey;
    std::int64_t stored_ns = 0;
};

// Process-wide and never pruned: only keys that were found are stored, one per real handle.
std::mutex g_identity_mutex;
std::map<std::string, CachedIdentity> g_identity_cache;

struct CurlListFree {
    void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};

} // namespace

bool https_get_json_pinned(const std::string& url, nlohmann::json& out) {
    out = nullptr;
    CurlHandle curl = new_curl_handle();
    if (!curl) return false;
    std::string body;
    curl_easy_setopt(curl.get(), CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl.get(), CURLOPT_WRITEFUNCTION, curl_write_to_string);
    curl_easy_setopt(curl.get(), CURLOPT_WRITEDATA, &body);
    curl_easy_setopt(curl.get(), CURLOPT_TIMEOUT, kRequestTimeoutS);
    curl_easy_setopt(curl.get(), CURLOPT_FOLLOWLOCATION, 1L);
    std::unique_ptr<curl_slist, CurlListFree> resolve(apply_pinned_resolve(curl.get(), url));
    const CURLcode rc = curl_easy_perform(curl.get());
    long status = 0;
    curl_easy_getinfo(curl.get(), CURLINFO_RESPONSE_CODE, &status);
    // The handle may point at the pin list, so it goes first.
    curl.reset();
    resolve.reset();
    if (rc != CURLE_OK || status != 200 || body.empty()) return false;
    nlohmann::json parsed = json_parse_or_discarded(body);
    if (parsed.is_discarded()) return false;
    out = std::move(parsed);
    return true;
}

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
    {
        std::lock_guard<std::mutex> lock(g_identity_mutex);
        auto it = g_identity_cache.find(cache_key);
        if (it != g_identity_cache.end() && clock_steady_ns() - it->second.stored_ns < kCacheLifeNs)
            return it->second.pubkey;
    }

    // A handle comes from the chain's records: a "/", "?", "#" or line break in it must not reach
    // another path of the platform.
    const std::string segment = url_escape(name);
    if (segment.empty()) return "";
    nlohmann::json reply;
    if (!https_get_json_pinned(settings.platform_base + "/api/bsvalias/id/" + segment + "@" + host, reply)) return "";
    if (!reply.is_object()) return "";
    const std::string key_text = msg_field_str(reply, "pubkey", "publicKey");
    if (key_text.empty()) return "";
    Bytes key;
    if (!msg_hex_to_bytes(key_text, key)) return "";
    const std::string pubkey = normalize_pubkey(key);
    if (pubkey.empty()) return "";

    std::lock_guard<std::mutex> lock(g_identity_mutex);
    g_identity_cache[cache_key] = CachedIdentity{pubkey, clock_steady_ns()};
    return pubkey;
}

void clear_identity_cache() {
    std::lock_guard<std::mutex> lock(g_identity_mutex);
    g_identity_cache.clear();
}
