#include "ordinals/gp_tokens.h"

#include "chain/outpoints.h"
#include "ordinals/envelope.h"
#include "ordinals/token_discovery.h"
#include "wallet/codecs.h"
#include "wallet/http_client.h"
#include "wallet/json_util.h"
#include "wallet/settings.h"
#include "wallet/text_util.h"

#include <mutex>
#include <string>
#include <unordered_map>

using nlohmann::json;

namespace {

struct TokenMaps {
    std::mutex mutex;
    std::unordered_map<std::string, std::string> amounts;
    std::unordered_map<std::string, std::string> decimals;
    std::uint32_t listings = 0; // listings using the maps now
};

// Two listings may overlap on different threads; the maps are guarded so that neither corrupts
// the other's hash tables.
TokenMaps& token_maps() {
    static TokenMaps maps;
    return maps;
}

const json* object_at(const json& obj, const char* key) {
    if (!obj.is_object()) return nullptr;
    auto it = obj.find(key);
    return it != obj.end() && it->is_object() ? &*it : nullptr;
}

// The amount text of an object's "amt", or of another member read by the same rule.
std::string amount_text(const json& obj, const char* key = "amt") {
    if (!obj.is_object()) return std::string();
    if (std::string(key) == "amt") return json_token_amt(obj);
    auto it = obj.find(key);
    return it == obj.end() ? std::string() : json_token_amt(json{{"amt", *it}});
}

// The vout of an item when it is a 32-bit index; a negative or fractional number reads as 0
// rather than wrapping.
std::uint32_t item_vout(const json& item) {
    std::uint32_t vout = 0;
    if (item.is_object()) {
        auto it = item.find("vout");
        if (it != item.end()) json_as_u32(*it, vout);
    }
    return vout;
}

std::string token_index_key(const std::string& txid, std::uint32_t vout) {
    return to_lower_copy(txid) + "_" + std::to_string(vout);
}

std::string indexed_lookup(const std::unordered_map<std::string, std::string>& map, const std::string& key,
                           const std::string& txid, std::uint32_t vout) {
    if (is_txid_hex(txid)) {
        auto it = map.find(token_index_key(txid, vout));
        if (it != map.end()) return it->second;
    }
    if (key.size() >= kTokenIdMinLength) {
        auto it = map.find(to_lower_copy(key));
        if (it != map.end()) return it->second;
    }
    return std::string();
}

} // namespace

bool gp_bsv20_unspent(const std::string& address, json& reply, std::int32_t timeout_s) {
    reply = json::array();
    // The address becomes part of a URL path: only base58-like text may go there.
    if (!is_ascii_alnum_text(address)) return false;
    std::string body;
    std::string error;
    if (!http_get(service_settings().gorillapool_base + "/bsv20/" + address + "/unspent", body, error, timeout_s,
                  false)) {
        return false;
    }
    json parsed = json_parse_or_discarded(body);
    if (!parsed.is_array()) return false;
    reply = std::move(parsed);
    return true;
}

bool parse_gp_token_item(const json& item, std::string& id, std::string& amount, std::string& name,
                         std::string& decimals, std::string& icon) {
    id.clear();
    amount.clear();
    name.clear();
    decimals.clear();
    icon.clear();
    const json* data = object_at(item, "data");
    if (!data) return false;
    const json* insc = object_at(*data, "insc");
    const json* insc_json = insc ? object_at(*insc, "json") : nullptr;
    const json* token = object_at(*data, "bsv20");
    if (!token) token = object_at(*data, "bsv21");
    if (!token && insc_json && json_text(*insc_json, "p") == "bsv-20") token = insc_json;
    if (!token) return false;

    auto fill_from = [&](const json& t) {
        if (id.empty()) id = json_text(t, "id");
        if (amount.empty()) amount = normalize_token_amount(amount_text(t));
        if (name.empty()) name = clip_ord_name(json_text(t, "name"));
        if (decimals.empty()) decimals = json_token_dec(t);
        if (icon.empty()) icon = json_text(t, "icon");
    };
    fill_from(*token);
    if (insc_json) fill_from(*insc_json);
    return !id.empty() || !amount.empty();
}

std::string gp_token_amount(const json& item) {
    if (!item.is_object()) return std::string();
    std::string amount = amount_text(item);
    if (amount.empty()) amount = amount_text(item, "balance");
    if (amount.empty()) {
        const json* data = object_at(item, "data");
        if (data) {
            if (const json* t = object_at(*data, "bsv20")) amount = amount_text(*t);
            if (amount.empty()) {
                if (const json* t = object_at(*data, "bsv21")) amount = amount_text(*t);
            }
        }
    }
    return normalize_token_amount(amount);
}

std::string gp_token_dec(const json& item) {
    std::string dec = json_token_dec(item);
    if (!dec.empty()) return dec;
    const json* data = object_at(item, "data");
    if (!data) return std::string();
    if (const json* t = object_at(*data, "bsv20")) return json_token_dec(*t);
    if (const json* t = object_at(*data, "bsv21")) return json_token_dec(*t);
    return std::string();
}

std::string gp_token_id(const json& item) {
    const std::string id = json_text(item, "id");
    if (id.size() >= kTokenIdMinLength) return id;
    const json* data = object_at(item, "data");
    if (!data) return id;
    if (const json* t = object_at(*data, "bsv20")) return json_text(*t, "id");
    if (const json* t = object_at(*data, "bsv21")) return json_text(*t, "id");
    return id;
}

void index_token_outpoint(const json& item) {
    const std::string amount = gp_token_amount(item);
    if (amount.empty()) return;
    const std::string dec = gp_token_dec(item);
    remember_token_outpoint(json_text(item, "outpoint"), amount, dec);
    const std::string txid = json_text(item, "txid");
    if (is_txid_hex(txid)) remember_token_outpoint(token_index_key(txid, item_vout(item)), amount, dec);
}

void remember_token_outpoint(const std::string& outpoint, const std::string& amt, const std::string& dec) {
    if (outpoint.size() < kTokenIdMinLength) return;
    const std::string key = to_lower_copy(outpoint);
    TokenMaps& maps = token_maps();
    std::lock_guard<std::mutex> lock(maps.mutex);
    maps.amounts[key] = amt;
    if (!dec.empty()) maps.decimals[key] = dec;
}

std::string indexed_token_amt(const std::string& key, const std::string& txid, std::uint32_t vout) {
    TokenMaps& maps = token_maps();
    std::lock_guard<std::mutex> lock(maps.mutex);
    return indexed_lookup(maps.amounts, key, txid, vout);
}

std::string indexed_token_dec(const std::string& key, const std::string& txid, std::uint32_t vout) {
    TokenMaps& maps = token_maps();
    std::lock_guard<std::mutex> lock(maps.mutex);
    return indexed_lookup(maps.decimals, key, txid, vout);
}

void clear_token_maps() {
    TokenMaps& maps = token_maps();
    std::lock_guard<std::mutex> lock(maps.mutex);
    maps.amounts.clear();
    maps.decimals.clear();
}

void fill_row_token(KvCofferlyOrdRow& row, const TokenInscription& inscription, const LocalOrd* local) {
    std::string amount = indexed_token_amt(row.key, row.txid, row.vout);
    if (amount.empty() && local) amount = local->amt;
    if (!amount.empty()) {
        row.amt = amount;
    } else if (inscription.op == "transfer" || inscription.op == "mint") {
        row.amt = normalize_token_amount(inscription.amt);
    } else {
        // A deploy names the supply, not a holding: showing it would overstate the balance.
        row.amt.clear();
    }

    std::string dec = indexed_token_dec(row.key, row.txid, row.vout);
    if (dec.empty() && local) dec = local->dec;
    if (dec.empty()) dec = inscription.dec;
    row.dec = dec;

    if (row.token_id.empty() && local && !local->token_id.empty()) row.token_id = local->token_id;
}

TokenMapsUse::TokenMapsUse() {
    TokenMaps& maps = token_maps();
    std::lock_guard<std::mutex> lock(maps.mutex);
    if (maps.listings++ == 0) {
        maps.amounts.clear();
        maps.decimals.clear();
    }
}

TokenMapsUse::~TokenMapsUse() {
    TokenMaps& maps = token_maps();
    std::lock_guard<std::mutex> lock(maps.mutex);
    --maps.listings;
}
