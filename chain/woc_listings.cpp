// The listings of an address's unspent outputs, and the coin cache they fill.
#include "chain/woc_client.h"

#include "chain/coin_snapshots.h"
#include "chain/outpoints.h"
#include "chain/woc_reply.h"
#include "wallet/clock.h"
#include "wallet/codecs.h"
#include "wallet/http_client.h"
#include "wallet/json_util.h"

#include <algorithm>
#include <unordered_set>
#include <utility>

using nlohmann::json;
using woc::address_path;
using woc::json_i32;
using woc::json_round_i64;
using woc::json_u32;
using woc::percent_encode;
using woc::reply_array;

namespace {

constexpr std::int64_t kFreshNs = 8000000000LL;
constexpr int kMaxPages = 40;
constexpr int kMaxMempoolTxs = 16;

} // namespace

bool parse_utxo_list(const json& reply, std::vector<Utxo>& list) {
    const json* arr = reply_array(reply, "result");
    if (!arr) return false;
    for (const json& el : *arr) {
        if (!el.is_object()) continue;
        auto spent = el.find("isSpentInMempoolTx");
        if (spent != el.end() && spent->is_boolean() && spent->get<bool>()) continue;
        Utxo u;
        auto it = el.find("tx_hash");
        if (it != el.end() && it->is_string()) {
            u.txid = it->get<std::string>();
        } else if ((it = el.find("txid")) != el.end() && it->is_string()) {
            u.txid = it->get<std::string>();
        }
        it = el.find("tx_pos");
        if (it != el.end() && it->is_number()) {
            u.vout = json_u32(*it);
        } else if ((it = el.find("vout")) != el.end() && it->is_number()) {
            u.vout = json_u32(*it);
        }
        it = el.find("value");
        if (it != el.end() && it->is_number_integer()) {
            std::int64_t v = 0;
            if (json_round_i64(*it, v)) u.sats = v;
        }
        it = el.find("height");
        if (it != el.end() && it->is_number()) u.height = json_i32(*it);
        if (is_txid_hex(u.txid) && u.sats > 0) list.push_back(std::move(u));
    }
    return true;
}

bool woc_utxo_list(const std::string& url, std::vector<Utxo>& list, std::string& error) {
    std::string body, err;
    if (!http_get(url, body, err, 10, false)) {
        error = err;
        return false;
    }
    json reply = json_parse_or_discarded(body);
    if (reply.is_discarded() || !parse_utxo_list(reply, list)) {
        error = "bad utxo list";
        return false;
    }
    return true;
}

bool woc_unspent_all(const std::string& address, std::vector<Utxo>& list, std::string& error) {
    const std::string first = woc_url(address_path(address) + "/unspent/all");
    std::string token;
    bool any_page = false;
    for (int page = 0; page < kMaxPages; ++page) {
        std::string url = first;
        if (page > 0) url += "?token=" + percent_encode(token);
        std::string body, err;
        if (!http_get(url, body, err, 20, false)) {
            error = err;
            return any_page;
        }
        json reply = json_parse_or_discarded(body);
        if (reply.is_discarded()) {
            error = "bad utxo list";
            return any_page;
        }
        if (!parse_utxo_list(reply, list)) {
            if (any_page) return true;
            error = "bad utxo list";
            return false;
        }
        any_page = true;
        std::string next = json_text(reply, "nextPageToken");
        // A service that hands back the token it was given would page forever.
        if (next.empty() || next == token) return true;
        token = std::move(next);
    }
    return true;
}

void drop_mempool_spent(const std::string& address, std::vector<Utxo>& list) {
    if (address.empty() || list.empty()) return;
    std::string body, err;
    if (!http_get(woc_url(address_path(address) + "/unconfirmed/history"), body, err, 10, false)) return;
    json reply = json_parse_or_discarded(body);
    if (reply.is_discarded()) return;
    const json* history = reply_array(reply, "result");
    if (!history) return;

    std::vector<std::string> ids;
    for (auto it = history->rbegin(); it != history->rend() && ids.size() < kMaxMempoolTxs; ++it) {
        std::string id = json_text(*it, "tx_hash");
        if (id.empty()) id = json_text(*it, "txid");
        if (id.size() == 64) ids.push_back(id);
    }

    std::unordered_set<std::string> spent;
    for (const std::string& id : ids) {
        // Only the inputs are read, and a transaction's inputs never change once it has an id:
        // the kept JSON serves every later listing.
        json tx;
        if (!woc_tx_json(id, tx)) continue;
        auto vin = tx.find("vin");
        if (vin == tx.end() || !vin->is_array()) continue;
        for (const json& in : *vin) {
            if (!in.is_object()) continue;
            std::string prev = json_text(in, "txid");
            auto v = in.find("vout");
            std::uint32_t vout = (v != in.end() && v->is_number()) ? json_u32(*v) : 0;
            if (prev.size() != 64) continue;
            spent.insert(outpoint_key(prev, vout));
            std::string rev = reverse_txid_hex(prev);
            if (!rev.empty()) spent.insert(outpoint_key(rev, vout));
        }
    }
    if (spent.empty()) return;
    list.erase(std::remove_if(list.begin(), list.end(),
                              [&](const Utxo& u) {
                                  if (spent.count(outpoint_key(u.txid, u.vout))) return true;
                                  std::string rev = reverse_txid_hex(u.txid);
                                  return !rev.empty() && spent.count(outpoint_key(rev, u.vout)) > 0;
                              }),
               list.end());
}

bool list_address_utxos(const std::string& address, std::vector<Utxo>& list, std::string& error, bool* any_ok) {
    list.clear();
    if (any_ok) *any_ok = false;
    error.clear();
    std::string last_error;
    bool any = false;

    if (woc_unspent_all(address, list, last_error)) {
        any = true;
        if (any_ok) *any_ok = true;
    }
    if (woc_utxo_list(woc_url(address_path(address) + "/unspent"), list, last_error)) {
        any = true;
        if (any_ok) *any_ok = true;
    }
    if (woc_utxo_list(woc_url(address_path(address) + "/unconfirmed/unspent"), list, last_error)) any = true;
    if (!any) {
        error = last_error.empty() ? "no utxos" : last_error;
        return false;
    }
    finish_address_listing(address, list);
    return true;
}

void finish_address_listing(const std::string& address, std::vector<Utxo>& list) {
    std::stable_sort(list.begin(), list.end(), [](const Utxo& a, const Utxo& b) { return a.sats > b.sats; });
    // Both byte orders of every kept outpoint, so a later entry in either order is a duplicate.
    std::unordered_set<std::string> seen;
    std::vector<Utxo> unique;
    unique.reserve(list.size());
    for (Utxo& u : list) {
        std::string key = outpoint_key(u.txid, u.vout);
        if (seen.count(key)) continue;
        seen.insert(key);
        std::string rev = reverse_txid_hex(u.txid);
        if (!rev.empty()) seen.insert(outpoint_key(rev, u.vout));
        unique.push_back(std::move(u));
    }
    list = std::move(unique);
    drop_mempool_spent(address, list);
}

void address_coins_store(const std::string& address, const std::vector<Utxo>& utxos, bool ok, bool keep_old) {
    AddressCoins* entry = find_address_coins(address);
    if (!ok) {
        if (entry != nullptr) return;
        AddressCoins& fresh = address_coins_entry(address);
        fresh.utxos = utxos;
        fresh.stamp = clock_steady_ns();
        fresh.loaded = false;
        return;
    }

    std::vector<Utxo> list = utxos;
    auto listed = [&](const std::string& txid, std::uint32_t vout) {
        return std::any_of(list.begin(), list.end(),
                           [&](const Utxo& u) { return outpoint_equal(u.txid, u.vout, txid, vout); });
    };
    if (keep_old && entry != nullptr) {
        for (const Utxo& old : entry->utxos) {
            if (!is_outpoint_spent(old.txid, old.vout) && !listed(old.txid, old.vout)) list.push_back(old);
        }
    }
    Hash160 own{};
    if (!change_coins().empty() && address_to_hash160(address, own)) {
        for (const ChangeCoin& c : change_coins()) {
            if (c.hash160 != own || c.sats < 1 || is_outpoint_spent(c.txid, c.vout) || listed(c.txid, c.vout)) continue;
            list.push_back(utxo_of(c));
        }
    }
    if (entry == nullptr) entry = &address_coins_entry(address);
    entry->utxos = std::move(list);
    entry->stamp = clock_steady_ns();
    entry->loaded = true;
}

bool utxo_cache_fresh(const std::string& address) {
    const AddressCoins* entry = find_address_coins(address);
    return entry != nullptr && entry->loaded && clock_steady_ns() - entry->stamp < kFreshNs;
}
