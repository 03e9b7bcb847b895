#include "chain/woc_client.h"

#include "chain/coin_snapshots.h"
#include "chain/outpoints.h"
#include "chain/sign.h"
#include "chain/tx_store.h"
#include "wallet/clock.h"
#include "wallet/codecs.h"
#include "wallet/crypto.h"
#include "wallet/http_client.h"
#include "wallet/json_util.h"
#include "wallet/parallel.h"
#include "wallet/settings.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <limits>
#include <mutex>
#include <set>
#include <unordered_map>
#include <unordered_set>
#include <utility>

using nlohmann::json;

namespace {

constexpr std::int64_t kFreshNs = 8000000000LL;
constexpr int kMaxPages = 40;
constexpr int kMaxMempoolTxs = 16;
// WhatsOnChain's bulk unspent listings ("Bulk Confirmed UTXOs" and "Bulk Unconfirmed UTXOs" on
// its (Un)Spent Transaction Outputs page) take at most 20 addresses a request and return at most
// 20 confirmed or 100 unconfirmed items a request.
constexpr std::size_t kBulkAddresses = 20;
constexpr std::size_t kBulkConfirmedRows = 20;
constexpr std::size_t kBulkUnconfirmedRows = 100;
// No amount on the chain can exceed the money supply; anything larger is a broken reply.
constexpr double kMaxSats = 21e14;
// The bulk transaction details take at most 20 ids a request; a few requests go side by side, so
// a watch listing thousands of ids is read in a few rounds without flooding the service.
constexpr std::size_t kBulkTxIds = 20;
constexpr std::int32_t kBulkTxTimeoutS = 20;
constexpr std::uint32_t kBulkRequestsAtOnce = 4;
// The bulk spend status of 20 outputs.
constexpr std::int32_t kSpendTimeoutS = 20;
// A block's list and its pages. No block holds more ids than this; a reply claiming more pages is
// damaged.
constexpr std::int32_t kBlockTimeoutS = 12;
constexpr std::size_t kBlockIdsLimit = 10000000;
constexpr std::size_t kBlockPagesLimit = 1000;
// Places kept, and the one block list kept for the next place asked in the same block.
constexpr std::size_t kPlacesKept = 8192;

// The WhatsOnChain cache mutex guards these two maps; it is never held across a request.
std::mutex g_woc_mutex;
std::unordered_map<std::string, int> g_spent_code;
std::unordered_map<std::string, std::string> g_spent_by;
std::unordered_map<std::string, std::int64_t> g_block_places;
std::string g_last_block_key;
std::vector<std::string> g_last_block;

// Letters, digits and "-._~" stay; every other byte becomes %XX.
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

// Any JSON number as an integer, rounded; false for other types, NaN and values beyond int64.
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

// A JSON number converted to u32 the way an unsigned cast would; 0 for what cannot be converted.
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

// The array of a reply: the reply itself, or the array under `key` of an object; null otherwise.
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

// Satoshis of a transaction output: "satoshis" as given, else "value" in BSV. False when neither
// is a usable amount.
bool output_sats(const json& out, std::int64_t& sats) {
    auto it = out.find("satoshis");
    if (it != out.end() && it->is_number()) {
        if (!json_round_i64(*it, sats)) return false;
        return sats >= 1 && static_cast<double>(sats) <= kMaxSats;
    }
    it = out.find("value");
    if (it == out.end() || !it->is_number()) return false;
    double bsv = it->get<double>();
    if (!std::isfinite(bsv)) return false;
    double scaled = bsv * 100000000.0;
    if (scaled > kMaxSats) return false;
    sats = std::llround(scaled);
    return sats >= 1;
}

// One request of the bulk details for ids [first, last); true when the service answered.
bool bulk_batch(const std::vector<std::string>& txids, std::size_t first, std::size_t last, std::vector<json>& txs,
                std::vector<char>* unknown) {
    json body = {{"txids", json::array()}};
    // Only a plain id goes out: anything else names no transaction, and may not even be text.
    for (std::size_t i = first; i < last; ++i)
        if (is_txid_hex(txids[i])) body["txids"].push_back(txids[i]);
    if (body["txids"].empty()) return false;
    std::string response, error;
    if (!http_post_json(woc_url("/txs"), body.dump(), response, error, kBulkTxTimeoutS, kUntilTimeOut)) return false;
    const json reply = json_parse_or_discarded(response);
    if (!reply.is_array()) return false;
    std::unordered_set<std::string> named; // ids with an entry that is no plain "unknown id" answer
    for (const json& tx : reply) {
        if (!tx.is_object()) continue;
        const auto id = tx.find("txid");
        if (id == tx.end() || !id->is_string()) continue;
        const std::string txid = to_lower_copy(id->get<std::string>());
        // The service answers an id it does not know with an error entry in the id's place.
        if (!tx.contains("error")) named.insert(txid);
        if (!woc_tx_usable(tx)) continue;
        for (std::size_t i = first; i < last; ++i)
            if (txs[i].is_null() && to_lower_copy(txids[i]) == txid) txs[i] = tx;
    }
    // A damaged copy says nothing of whether the transaction exists; only an id the answer left
    // out or answered with an error is one the service does not know.
    if (unknown) {
        for (std::size_t i = first; i < last; ++i)
            if (is_txid_hex(txids[i]) && !named.count(to_lower_copy(txids[i]))) (*unknown)[i] = 1;
    }
    return true;
}

// Appends the ids of one block list or page (an array, or an object's "tx" array) to `ids`.
bool append_block_ids(const json& reply, std::vector<std::string>& ids) {
    const json* list = reply_array(reply, "tx");
    if (!list) return false;
    for (const json& id : *list) {
        if (ids.size() >= kBlockIdsLimit) return false;
        ids.push_back(id.is_string() ? to_lower_copy(id.get<std::string>()) : std::string());
    }
    return true;
}

} // namespace

std::string woc_url(const std::string& path) {
    return service_settings().woc_base + path;
}

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
        if (id.size() == 64) ids.push_back(std::move(id));
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

std::string bulk_addresses_body(const std::vector<std::string>& addresses) {
    json list = json::array();
    for (const std::string& a : addresses)
        list.push_back(a);
    const json request = {{"addresses", std::move(list)}};
    return request.dump(-1, ' ', false, json::error_handler_t::replace);
}

bool woc_bulk_unspent(const std::vector<std::string>& addresses, bool confirmed, std::vector<std::vector<Utxo>>& lists,
                      std::vector<bool>& answered) {
    lists.assign(addresses.size(), {});
    answered.assign(addresses.size(), false);
    if (addresses.empty()) return true;
    if (addresses.size() > kBulkAddresses) return false;
    const std::string body = bulk_addresses_body(addresses);
    std::string response, err;
    const char* path = confirmed ? "/addresses/confirmed/unspent" : "/addresses/unconfirmed/unspent";
    if (!http_post_json(woc_url(path), body, response, err, 20, kUntilTimeOut)) return false;
    json reply = json_parse_or_discarded(response);
    if (reply.is_discarded() || !reply.is_array()) return false;

    std::size_t rows = 0;
    for (const json& item : reply) {
        if (!item.is_object()) continue;
        const std::string address = json_text(item, "address");
        auto at = std::find(addresses.begin(), addresses.end(), address);
        if (address.empty() || at == addresses.end()) continue;
        if (!json_text(item, "error").empty()) continue;
        const json* unspent = reply_array(item, "unspent");
        if (!unspent) unspent = reply_array(item, "result");
        if (!unspent) continue;
        const auto i = static_cast<std::size_t>(at - addresses.begin());
        rows += unspent->size();
        lists[i].clear();
        parse_utxo_list(*unspent, lists[i]);
        answered[i] = true;
    }
    // The service caps the outputs of one reply without saying whether it cut any; a full reply
    // may be missing some, so its addresses are listed one by one instead.
    return rows < (confirmed ? kBulkConfirmedRows : kBulkUnconfirmedRows);
}

bool woc_tx_exists(const std::string& txid) {
    if (!is_txid_hex(txid)) return false;
    std::string body, err;
    if (http_get(woc_url(tx_path(txid) + "/hex"), body, err, 25, false) && body.size() > 20) return true;
    return http_get(woc_url(tx_path(txid)), body, err, 25, false) && body.find("txid") != std::string::npos;
}

int woc_tx_status(const std::string& txid) {
    if (!is_txid_hex(txid)) return 1;
    std::string body, err;
    if (http_get(woc_url(tx_path(txid) + "/hex"), body, err, 12, false)) {
        if (body.size() > 20) return 0;
    } else if (err.find("HTTP 404") != std::string::npos) {
        return 1;
    }
    if (http_get(woc_url(tx_path(txid)), body, err, 12, false)) {
        if (body.find("txid") != std::string::npos) return 0;
    } else if (err.find("HTTP 404") != std::string::npos) {
        return 1;
    }
    return 2;
}

bool woc_tx_json(const std::string& txid, json& tx, bool mempool_copy_will_do) {
    const std::string url = woc_url(tx_path(txid));
    return tx_store_read(
        service_settings().woc_base, txid,
        [&url](json& out) {
            std::string body, err;
            if (!http_get(url, body, err, 15, false)) return false;
            out = json_parse_or_discarded(body);
            return !out.is_discarded() && out.is_object();
        },
        tx, mempool_copy_will_do);
}

int woc_spent_by(const std::string& txid, std::uint32_t vout, std::string& spender) {
    spender.clear();
    // Another service's chain may know another spender.
    const std::string key = service_settings().woc_base + "|" + txid + ":" + std::to_string(vout);
    {
        std::lock_guard<std::mutex> lock(g_woc_mutex);
        auto it = g_spent_code.find(key);
        if (it != g_spent_code.end()) {
            if (it->second == 0) {
                auto by = g_spent_by.find(key);
                if (by != g_spent_by.end()) spender = by->second;
            }
            return it->second;
        }
    }
    std::string body, err;
    if (http_get(woc_url(tx_path(txid) + "/" + std::to_string(vout) + "/spent"), body, err, 15, true)) {
        json reply = json_parse_or_discarded(body);
        std::string by = reply.is_discarded() ? std::string() : json_text(reply, "txid");
        if (!is_txid_hex(by) || by == txid) return 1;
        {
            std::lock_guard<std::mutex> lock(g_woc_mutex);
            g_spent_code[key] = 0;
            g_spent_by[key] = by;
        }
        spender = by;
        return 0;
    }
    if (err.find("HTTP 400") != std::string::npos && woc_tx_status(txid) == 1) {
        std::lock_guard<std::mutex> lock(g_woc_mutex);
        g_spent_code[key] = 3;
        return 3;
    }
    return 2;
}

std::map<std::string, std::string>
woc_bulk_spent_by(const std::vector<std::pair<std::string, std::uint32_t>>& asked_outputs) {
    std::vector<std::pair<std::string, std::uint32_t>> outputs;
    std::set<std::pair<std::string, std::uint32_t>> asked;
    for (const auto& output : asked_outputs) {
        auto plain = std::make_pair(to_lower_copy(output.first), output.second);
        if (is_txid_hex(plain.first) && asked.insert(plain).second) outputs.push_back(std::move(plain));
    }
    constexpr std::size_t kPerRequest = 20;
    const std::size_t batches = (outputs.size() + kPerRequest - 1) / kPerRequest;
    std::vector<std::map<std::string, std::string>> found(batches);
    parallel_for(batches, batches, [&](std::uint64_t batch) {
        json utxos = json::array();
        for (std::size_t i = static_cast<std::size_t>(batch) * kPerRequest;
             i < std::min(outputs.size(), static_cast<std::size_t>(batch + 1) * kPerRequest); ++i)
            utxos.push_back({{"txid", outputs[i].first}, {"vout", outputs[i].second}});
        std::string response, err;
        if (!http_post_json(woc_url("/utxos/spent"), json{{"utxos", utxos}}.dump(), response, err, kSpendTimeoutS,
                            kUntilTimeOut))
            return;
        const json reply = json_parse_or_discarded(response);
        if (!reply.is_array()) return;
        for (const json& row : reply) {
            if (!row.is_object() || !json_text(row, "error").empty()) continue;
            const auto utxo = row.find("utxo");
            if (utxo == row.end() || !utxo->is_object()) continue;
            const auto vout = utxo->find("vout");
            const std::string txid = to_lower_copy(json_text(*utxo, "txid"));
            if (vout == utxo->end() || !vout->is_number_unsigned() || vout->get<std::uint64_t>() > UINT32_MAX) continue;
            const auto output = std::make_pair(txid, static_cast<std::uint32_t>(vout->get<std::uint64_t>()));
            if (!asked.count(output)) continue;
            const std::string key = txid + "_" + std::to_string(output.second);
            const auto spent_in = row.find("spentIn");
            if (spent_in == row.end()) {
                found[batch][key] = "";
                continue;
            }
            // Only a spender that is another transaction counts; the service names the output's
            // own transaction for an output it does not know.
            const std::string spender = spent_in->is_object() ? to_lower_copy(json_text(*spent_in, "txid")) : "";
            if (is_txid_hex(spender) && spender != txid) found[batch][key] = spender;
        }
    });
    std::map<std::string, std::string> spends;
    for (auto& batch : found)
        spends.insert(batch.begin(), batch.end());
    return spends;
}

void woc_cache_clear() {
    std::lock_guard<std::mutex> lock(g_woc_mutex);
    g_spent_code.clear();
    g_spent_by.clear();
    g_block_places.clear();
    g_last_block_key.clear();
    g_last_block.clear();
}

bool woc_tx_usable(const json& tx) {
    if (!tx.is_object()) return false;
    const auto vin = tx.find("vin");
    const auto vout = tx.find("vout");
    return vin != tx.end() && vin->is_array() && vout != tx.end() && vout->is_array();
}

bool woc_bulk_tx_json(const std::vector<std::string>& txids, std::vector<json>& txs, std::vector<char>* unknown) {
    txs.assign(txids.size(), json());
    if (unknown) unknown->assign(txids.size(), 0);
    std::atomic<bool> answered{false};
    // Each batch writes only its own slots of `txs`.
    parallel_for((txids.size() + kBulkTxIds - 1) / kBulkTxIds, kBulkRequestsAtOnce, [&](std::uint64_t batch) {
        const std::size_t first = static_cast<std::size_t>(batch) * kBulkTxIds;
        if (bulk_batch(txids, first, std::min(txids.size(), first + kBulkTxIds), txs, unknown)) answered = true;
    });
    return answered;
}

bool woc_block_txids(std::int64_t height, std::vector<std::string>& txids) {
    txids.clear();
    if (height <= 0) return false;
    std::string body, err;
    if (!http_get(woc_url("/block/height/" + std::to_string(height)), body, err, kBlockTimeoutS, false)) return false;
    const json reply = json_parse_or_discarded(body);
    if (!reply.is_object()) return false;
    // A large block names only its first ids here; its pages hold the rest.
    const auto pages = reply.find("pages");
    const json* uris = pages != reply.end() && pages->is_object() ? reply_array(*pages, "uri") : nullptr;
    if (!append_block_ids(reply, txids)) return false;
    if (!uris || uris->empty()) return true;
    if (uris->size() > kBlockPagesLimit) return false;
    const std::vector<std::string> first_ids = std::move(txids);
    txids.clear();
    const std::string base = service_settings().woc_base;
    for (const json& uri : *uris) {
        if (!uri.is_string()) return false;
        const std::string path = uri.get<std::string>();
        // A page is asked for only at the service the block came from.
        if (path.empty() || path[0] != '/' || path.find("..") != std::string::npos) return false;
        if (!http_get(base + path, body, err, kBlockTimeoutS, false)) return false;
        if (!append_block_ids(json_parse_or_discarded(body), txids)) return false;
    }
    // Pages that do not start where the block does hold the ids after those it listed itself.
    if (!first_ids.empty() && (txids.empty() || txids.front() != first_ids.front()))
        txids.insert(txids.begin(), first_ids.begin(), first_ids.end());
    return true;
}

std::int64_t woc_tx_block_place(std::int64_t height, const std::string& txid) {
    const std::string block_key = service_settings().woc_base + "|" + std::to_string(height);
    const std::string key = block_key + "|" + txid;
    std::vector<std::string> ids;
    {
        std::lock_guard<std::mutex> lock(g_woc_mutex);
        const auto kept = g_block_places.find(key);
        if (kept != g_block_places.end()) return kept->second;
        if (g_last_block_key == block_key) ids = g_last_block;
    }
    if (ids.empty() && !woc_block_txids(height, ids)) return -1;
    const auto at = std::find(ids.begin(), ids.end(), txid);
    const std::int64_t place = at == ids.end() ? -1 : static_cast<std::int64_t>(at - ids.begin());
    std::lock_guard<std::mutex> lock(g_woc_mutex);
    // An unknown place is asked for again next time.
    if (place >= 0) {
        if (g_block_places.size() >= kPlacesKept) g_block_places.clear();
        g_block_places[key] = place;
    }
    g_last_block_key = block_key;
    g_last_block = std::move(ids);
    return place;
}

bool learn_own_outputs(const std::string& txid) {
    if (!is_txid_hex(txid)) return false;
    std::string body, err;
    if (!http_get(woc_url(tx_path(txid)), body, err, 25, false) &&
        !http_get(woc_url(tx_path(txid) + "/decoded"), body, err, 25, false))
        return false;
    json tx = json_parse_or_discarded(body);
    if (tx.is_discarded() || !tx.is_object()) return false;
    auto vout = tx.find("vout");
    if (vout == tx.end() || !vout->is_array()) return false;

    std::vector<ChangeCoin>& coins = change_coins();
    bool added = false;
    std::uint32_t running = 0;
    for (const json& out : *vout) {
        std::uint32_t position = running++;
        if (!out.is_object()) continue;
        std::uint32_t index = position;
        auto n = out.find("n");
        if (n != out.end() && n->is_number_integer()) {
            std::int64_t v = 0;
            if (!json_round_i64(*n, v) || v < 0 || v > std::numeric_limits<std::uint32_t>::max()) continue;
            index = static_cast<std::uint32_t>(v);
        }
        std::int64_t sats = 0;
        if (!output_sats(out, sats)) continue;

        // Only a plain P2PKH lock is a coin the wallet can spend; the address comes from the
        // script itself, never from the reply's address fields.
        auto spk = out.find("scriptPubKey");
        if (spk == out.end() || !spk->is_object()) continue;
        Bytes script = from_hex(json_text(*spk, "hex"));
        Hash160 script_hash{};
        if (!p2pkh_script_hash160(script, script_hash)) continue;
        const std::string address = base58check_encode(script_hash);

        std::string priv_hex, pub_hex;
        Hash160 key_hash{};
        if (!is_my_address(address, priv_hex, pub_hex, key_hash) || priv_hex.empty() || pub_hex.empty()) {
            wipe(priv_hex);
            continue;
        }
        bool known = is_outpoint_spent(txid, index) ||
                     std::any_of(coins.begin(), coins.end(),
                                 [&](const ChangeCoin& c) { return outpoint_equal(c.txid, c.vout, txid, index); });
        if (known) {
            wipe(priv_hex);
            continue;
        }
        ChangeCoin coin;
        coin.txid = txid;
        coin.vout = index;
        coin.sats = sats;
        coin.height = 0;
        coin.priv_hex = std::move(priv_hex);
        coin.pub_hex = std::move(pub_hex);
        coin.hash160 = script_hash;
        coins.push_back(std::move(coin));
        added = true;
    }
    return added;
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

bool woc_bulk_balances(const std::vector<IndexedAddress>& addresses, std::uint32_t& highest) {
    if (addresses.empty()) return true;
    std::vector<std::string> names;
    for (const IndexedAddress& a : addresses)
        names.push_back(a.address);
    const std::string body = bulk_addresses_body(names);
    std::string response, err;
    if (!http_post_json(woc_url("/addresses/balance"), body, response, err, 20, kUntilTimeOut)) return false;
    json reply = json_parse_or_discarded(response);
    if (reply.is_discarded()) return false;
    const json* items = reply_array(reply, "value");
    if (!items) return false;

    for (const json& item : *items) {
        if (!item.is_object()) continue;
        const std::string address = json_text(item, "address");
        if (address.empty()) continue;
        auto bal_it = item.find("balance");
        const json& bal = (bal_it != item.end() && bal_it->is_object()) ? *bal_it : item;
        std::int64_t confirmed = 0, unconfirmed = 0;
        auto c = bal.find("confirmed");
        if (c != bal.end() && !json_round_i64(*c, confirmed)) confirmed = 0;
        auto u = bal.find("unconfirmed");
        if (u != bal.end() && !json_round_i64(*u, unconfirmed)) unconfirmed = 0;
        if (confirmed <= 0 && unconfirmed < 1) continue;
        for (const IndexedAddress& a : addresses) {
            if (a.address == address) highest = std::max(highest, a.index);
        }
    }
    return true;
}
