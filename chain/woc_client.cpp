// What the files of the WhatsOnChain client share: the reading of its replies, the spenders it
// remembers for every reader, and the forgetting of all it remembers.
#include "chain/woc_client.h"

#include "chain/outpoints.h"
#include "chain/woc_reply.h"
#include "wallet/bounded_cache.h"
#include "wallet/codecs.h"
#include "wallet/json_util.h"
#include "wallet/settings.h"

#include <cmath>
#include <limits>
#include <mutex>

using nlohmann::json;

namespace {

// Spend answers of every service, by output: a spender once named is every later reader's. The
// bound lies far past what one session reads.
constexpr std::size_t kSpendsKept = 65536;

struct SpendAnswer {
    int code = 0;
    std::string spender;
};

// Guards the remembered spends; never held across a request.
std::mutex g_spends_mutex;
BoundedCache<SpendAnswer> g_spends(kSpendsKept);

std::string spend_key(const std::string& txid, std::uint32_t vout) {
    // Another service's chain may know another spender.
    return service_key(service_settings().woc_base, to_lower_copy(txid) + ":" + std::to_string(vout));
}

} // namespace

namespace woc {

std::string percent_encode(const std::string& text) {
    static const char* hex = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : text) {
        if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '.' ||
            c == '_' || c == '~') {
            out.push_back(static_cast<char>(c));
        } else {
            out.push_back('%');
            out.push_back(hex[c >> 4]);
            out.push_back(hex[c & 15]);
        }
    }
    return out;
}

bool json_round_i64(const json& v, std::int64_t& out) {
    if (v.is_number_unsigned()) {
        std::uint64_t u = v.get<std::uint64_t>();
        if (u > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) return false;
        out = static_cast<std::int64_t>(u);
        return true;
    }
    if (v.is_number_integer()) {
        out = v.get<std::int64_t>();
        return true;
    }
    if (v.is_number_float()) {
        double d = v.get<double>();
        if (!std::isfinite(d) || std::fabs(d) > 9.0e18) return false;
        out = std::llround(d);
        return true;
    }
    return false;
}

std::uint32_t json_u32(const json& v) {
    std::int64_t i = 0;
    if (v.is_number_float()) {
        double d = v.get<double>();
        if (!std::isfinite(d) || std::fabs(d) > 9.0e18) return 0;
        return static_cast<std::uint32_t>(static_cast<std::int64_t>(d));
    }
    if (v.is_number_unsigned()) return static_cast<std::uint32_t>(v.get<std::uint64_t>());
    if (json_round_i64(v, i)) return static_cast<std::uint32_t>(i);
    return 0;
}

std::int32_t json_i32(const json& v) {
    std::int64_t i = 0;
    if (v.is_number_float()) {
        double d = v.get<double>();
        if (!std::isfinite(d) || std::fabs(d) > 2.0e9) return -1;
        return static_cast<std::int32_t>(d);
    }
    if (!json_round_i64(v, i) || i < std::numeric_limits<std::int32_t>::min() ||
        i > std::numeric_limits<std::int32_t>::max())
        return -1;
    return static_cast<std::int32_t>(i);
}

const json* reply_array(const json& reply, const char* key) {
    if (reply.is_array()) return &reply;
    if (reply.is_object()) {
        auto it = reply.find(key);
        if (it != reply.end() && it->is_array()) return &*it;
    }
    return nullptr;
}

std::string tx_path(const std::string& txid) {
    return "/tx/" + percent_encode(txid);
}
std::string address_path(const std::string& address) {
    return "/address/" + percent_encode(address);
}

bool remembered_spend(const std::string& txid, std::uint32_t vout, int& code, std::string& spender) {
    const std::string key = spend_key(txid, vout);
    std::lock_guard<std::mutex> lock(g_spends_mutex);
    const SpendAnswer* kept = g_spends.find(key);
    if (!kept) return false;
    code = kept->code;
    spender = kept->spender;
    return true;
}

void remember_spend(const std::string& txid, std::uint32_t vout, int& code, std::string& spender) {
    const std::string key = spend_key(txid, vout);
    std::lock_guard<std::mutex> lock(g_spends_mutex);
    if (const SpendAnswer* kept = g_spends.find(key)) {
        code = kept->code;
        spender = kept->spender;
        return;
    }
    g_spends.put(key, SpendAnswer{code, spender});
}

void replace_spend(const std::string& txid, std::uint32_t vout, int code, const std::string& spender) {
    const std::string key = spend_key(txid, vout);
    std::lock_guard<std::mutex> lock(g_spends_mutex);
    g_spends.put(key, SpendAnswer{code, spender});
}

void forget_spend(const std::string& txid, std::uint32_t vout) {
    const std::string key = spend_key(txid, vout);
    std::lock_guard<std::mutex> lock(g_spends_mutex);
    g_spends.erase(key);
}

bool spends_output(const std::string& spender, const std::string& txid, std::uint32_t vout) {
    json tx;
    // Only the inputs are looked at, and they never change: a copy from the mempool will do.
    if (!is_txid_hex(spender) || !woc_tx_json(spender, tx, true) || !woc_tx_usable(tx)) return false;
    const std::string spent = to_lower_copy(txid);
    for (const json& in : tx["vin"]) {
        if (!in.is_object()) continue;
        const auto n = in.find("vout");
        if (n == in.end() || !n->is_number_unsigned() || n->get<std::uint64_t>() != vout) continue;
        if (to_lower_copy(json_text(in, "txid")) == spent) return true;
    }
    return false;
}

} // namespace woc

std::string woc_url(const std::string& path) {
    return service_settings().woc_base + path;
}

void woc_cache_clear() {
    {
        std::lock_guard<std::mutex> lock(g_spends_mutex);
        g_spends.clear();
    }
    woc::forget_block_places();
}

bool woc_tx_usable(const json& tx) {
    if (!tx.is_object()) return false;
    const auto vin = tx.find("vin");
    const auto vout = tx.find("vout");
    return vin != tx.end() && vin->is_array() && vout != tx.end() && vout->is_array();
}
