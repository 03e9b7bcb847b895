#include "art/watch_reader.h"

#include "chain/outpoints.h"
#include "chain/sat_path.h"
#include "chain/woc_client.h"
#include "identity/typed_verify.h"
#include "wallet/codecs.h"
#include "wallet/http_client.h"
#include "wallet/json_util.h"
#include "wallet/settings.h"

#include <set>

using json = nlohmann::json;

namespace {

constexpr std::int32_t kOracleTimeoutS = 8;
constexpr std::int32_t kHistoryTimeoutS = 15;
constexpr std::int32_t kOracleTxTimeoutS = 6;
constexpr std::int32_t kWocTxTimeoutS = 12;
constexpr std::size_t kOraclePageSize = 2000;
constexpr std::size_t kOracleOffsetLimit = 20000;
// A watch carries every record of the platform, so its lists are paged to their end; a list
// longer than this is reported as not read whole.
constexpr int kHistoryPagesPerList = 100;

// How a paged list ended: no page answered, stopped with pages left (a bound, a failure, a page
// with nothing new), or read to its last page.
enum class ListEnd { failed, cut, whole };

// Pages of the platform's oracle index, 2000 ids each, up to offset 18000. Ends at the first
// failure, short page or page with nothing new.
ListEnd read_oracle_pages(const std::string& watch_key, std::vector<std::string>& txids) {
    const std::string base = service_settings().platform_base + "/oi/oracle/" + watch_key + "/txids?limit=2000&offset=";
    for (std::size_t offset = 0; offset < kOracleOffsetLimit; offset += kOraclePageSize) {
        const ListEnd stopped = offset == 0 ? ListEnd::failed : ListEnd::cut;
        json reply;
        if (!http_get_json(base + std::to_string(offset), reply, kOracleTimeoutS)) return stopped;
        if (!reply.is_object()) return stopped;
        const auto page = reply.find("txids");
        if (page == reply.end() || !page->is_array()) return stopped;
        const std::size_t before = txids.size();
        parse_watch_txids(reply, txids);
        if (page->empty() || page->size() < kOraclePageSize) return ListEnd::whole;
        if (txids.size() == before) return ListEnd::cut;
    }
    return ListEnd::cut;
}

std::string next_page_token(const json& reply) {
    if (!reply.is_object()) return "";
    for (const char* key : {"nextPageToken", "next-page"}) {
        const auto it = reply.find(key);
        if (it != reply.end() && it->is_string()) return it->get<std::string>();
    }
    return "";
}

using ListedHeights = std::map<std::string, std::int64_t>;

// The heights a history reply gives its mined rows.
void note_heights(const json& reply, ListedHeights* heights) {
    if (!heights) return;
    const json* rows = &reply;
    if (reply.is_object()) {
        const auto it = reply.find("result");
        if (it == reply.end()) return;
        rows = &*it;
    }
    if (!rows->is_array()) return;
    for (const json& row : *rows) {
        if (!row.is_object()) continue;
        const auto hash = row.find("tx_hash");
        const auto height = row.find("height");
        if (hash == row.end() || !hash->is_string() || height == row.end() || !height->is_number_integer()) continue;
        if (height->get<std::int64_t>() > 0)
            (*heights)[to_lower_copy(hash->get<std::string>())] = height->get<std::int64_t>();
    }
}

// One of WhatsOnChain's history lists of the address, page by page.
ListEnd read_history_list(const std::string& list_url, std::vector<std::string>& txids, ListedHeights* heights) {
    std::set<std::string> listed_here;
    bool answered = false;
    std::string token;
    for (int page = 0; page < kHistoryPagesPerList; ++page) {
        std::string url = list_url + "?limit=100";
        if (!token.empty()) url += "&token=" + url_escape(token);
        json reply;
        if (!http_get_json(url, reply, kHistoryTimeoutS)) {
            // Some deployments refuse the paging query; the bare list is the fallback for the first page.
            // It says nothing of pages left, so it never counts as the whole list.
            if (page == 0 && token.empty() && http_get_json(list_url, reply, kHistoryTimeoutS)) {
                parse_watch_txids(reply, txids);
                note_heights(reply, heights);
                answered = true;
            }
            return answered ? ListEnd::cut : ListEnd::failed;
        }
        answered = true;
        std::vector<std::string> page_ids;
        parse_watch_txids(reply, page_ids);
        note_heights(reply, heights);
        // Another list read before may hold every id of a page already; a page that brings this
        // list nothing new says the service would page for ever.
        bool new_here = false;
        for (const std::string& id : page_ids) {
            new_here = listed_here.insert(id).second || new_here;
            append_txid_unique(txids, id);
        }
        token = next_page_token(reply);
        if (token.empty()) return ListEnd::whole;
        if (!new_here) return ListEnd::cut;
    }
    return ListEnd::cut;
}

} // namespace

bool http_get_json(const std::string& url, json& out, std::int32_t timeout_s, const std::string& user_agent) {
    out = nullptr;
    std::string body, error;
    if (!http_get(url, body, error, timeout_s, false, user_agent.c_str())) return false;
    json parsed = json_parse_or_discarded(body);
    if (parsed.is_discarded()) return false;
    out = std::move(parsed);
    return true;
}

bool fetch_address_txids(const std::string& watch_key, const std::string& watch_address,
                         std::vector<std::string>& txids, std::string& error, bool* whole, ListedHeights* heights) {
    txids.clear();
    if (heights) heights->clear();
    error.clear();
    if (whole) *whole = false;
    if (watch_address.empty()) {
        error = "watch address is not assigned";
        return false;
    }
    const ListEnd oracle = read_oracle_pages(watch_key, txids);

    // The oracle index may lag or miss transactions, so the address history is always read too.
    // Its two halves, each paged to its end, list the address whole; a list cut short leaves the
    // oracle's answer in doubt too, since the oracle may miss transactions.
    const std::string base = woc_url("/address/" + watch_address);
    bool woc_answered = false;
    bool halves_whole = true;
    bool woc_cut = false;
    for (const char* suffix : {"/unconfirmed/history", "/history", "/confirmed/history"}) {
        const ListEnd end = read_history_list(base + suffix, txids, heights);
        woc_answered = woc_answered || end != ListEnd::failed;
        woc_cut = woc_cut || end == ListEnd::cut;
        if (std::string(suffix) != "/history") halves_whole = halves_whole && end == ListEnd::whole;
    }
    if (whole) *whole = halves_whole || (oracle == ListEnd::whole && !woc_cut);
    if (woc_answered || !txids.empty()) return true;
    error = "OI " + watch_key + " missed and WhatsOnChain missed";
    return false;
}

bool fetch_tx_json(const std::string& txid, json& out) {
    out = nullptr;
    // Listed ids come from the network; only a plain transaction id may become part of a URL path.
    if (!is_txid_hex(txid)) return false;
    json reply;
    json record;
    if (http_get_json(service_settings().platform_base + "/oi/tx/" + txid, reply, kOracleTxTimeoutS) &&
        find_art_message_in_tx(reply, record)) {
        out = std::move(reply);
        return true;
    }
    return http_get_json(woc_url("/tx/" + txid), out, kWocTxTimeoutS);
}

bool scan_watch_messages(const std::string& watch_key, const std::string& watch_address,
                         std::vector<WatchRecord>& records, std::string& error, bool* whole, std::int64_t mined_by) {
    records.clear();
    std::vector<std::string> txids;
    ListedHeights heights;
    if (!fetch_address_txids(watch_key, watch_address, txids, error, whole, mined_by > 0 ? &heights : nullptr))
        return false;
    const auto wanted = [&](const std::string& txid) {
        if (!is_txid_hex(txid)) return false;
        const auto listed = heights.find(txid);
        return listed == heights.end() || listed->second <= mined_by;
    };
    // The watch lists every payment to it, strangers' too: the listed transactions are read in
    // bulk, and one by one only where the bulk reply had no copy.
    std::vector<std::string> readable;
    for (const std::string& txid : txids)
        if (wanted(txid)) readable.push_back(txid);
    std::vector<json> bulk;
    woc_bulk_tx_json(readable, bulk);
    bool all_read = true;
    std::size_t next_bulk = 0;
    for (std::size_t i = 0; i < txids.size(); ++i) {
        const std::string& txid = txids[i];
        WatchRecord record;
        record.listed = static_cast<std::int64_t>(i);
        // An id that is no transaction id names no transaction, and one mined past the bound is
        // not asked for; one that cannot be fetched may carry the very record the caller looks for.
        if (!wanted(txid)) continue;
        record.tx = std::move(bulk[next_bulk++]);
        if (record.tx.is_null() && !fetch_tx_json(txid, record.tx)) {
            all_read = false;
            continue;
        }
        if (!find_art_message_in_tx(record.tx, record.msg)) continue;
        // A record keeps the meaning it had when it went on chain: it speaks for the key it
        // carries, whatever key its paymail names today. The rules that read it compare keys.
        if (!verify_channel_message(record.msg)) continue;
        record.ts = json_ts(record.msg);
        if (record.ts <= 0) continue;
        record.txid = txid;
        records.push_back(std::move(record));
    }
    sort_watch_records(records);
    if (!all_read) error = kWatchRecordsUnread;
    return all_read;
}
