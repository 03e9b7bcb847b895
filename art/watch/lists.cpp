#include "art/watch/lists.h"

#include "art/watch/reader.h"
#include "chain/outpoints.h"
#include "chain/woc_client.h"
#include "wallet/clock.h"
#include "wallet/codecs.h"
#include "wallet/http_client.h"
#include "wallet/json_util.h"
#include "wallet/settings.h"
#include "wallet/step_scope.h"

#include <algorithm>
#include <map>
#include <memory>
#include <mutex>

using json = nlohmann::json;

namespace {

constexpr std::int32_t kOracleTimeoutS = 8;
constexpr std::int32_t kHistoryTimeoutS = 15;
constexpr std::size_t kOraclePageSize = 2000;
constexpr std::size_t kOracleOffsetLimit = 20000;
constexpr const char* kHistoryPageRows = "1000";
// A read lists only what came after what it kept, so no honest list it reads runs this long (ten
// million payments at a watch since its last read); a service that pages on for ever stops here.
constexpr int kHistoryPagesPerList = 10000;
constexpr std::int32_t kTipTimeoutS = 8;
constexpr std::int64_t kTipFreshMs = 30000;

struct KnownTip {
    std::int64_t height = 0;
    std::int64_t at_ms = 0;
    bool read = false;
};
// Held across the one request that reads a tip, so reads side by side ask once.
std::mutex g_tip_mutex;
std::map<std::string, KnownTip> g_tips; // by service

std::string next_page_token(const json& reply) {
    if (!reply.is_object()) return "";
    for (const char* key : {"nextPageToken", "next-page"}) {
        const auto it = reply.find(key);
        if (it != reply.end() && it->is_string()) return it->get<std::string>();
    }
    return "";
}

// The rows of a history reply: {tx_hash, height} objects or bare ids, in the reply's order.
void reply_rows(const json& reply, std::vector<WatchRow>& rows) {
    const json* items = &reply;
    if (reply.is_object()) {
        const auto it = reply.find("result");
        if (it == reply.end()) return;
        items = &*it;
    }
    if (!items->is_array()) return;
    for (const json& item : *items) {
        WatchRow row;
        std::vector<std::string> one;
        parse_watch_txid_item(item, one);
        if (one.empty()) continue;
        row.txid = std::move(one[0]);
        if (item.is_object()) {
            const auto height = item.find("height");
            if (height != item.end() && height->is_number_integer())
                row.height = height->is_number_unsigned() && height->get<std::uint64_t>() > std::uint64_t(kHeightLimit)
                                 ? kHeightLimit
                                 : std::max<std::int64_t>(0, height->get<std::int64_t>());
        }
        rows.push_back(std::move(row));
    }
}

std::string unconfirmed_url(const std::string& watch_address) {
    return woc_url("/address/" + watch_address + "/unconfirmed/history");
}

} // namespace

std::int64_t listed_tip(std::int64_t seen) {
    const std::string service = service_settings().woc_base;
    std::lock_guard<std::mutex> lock(g_tip_mutex);
    KnownTip& known = g_tips[service];
    const std::int64_t now = clock_steady_ms();
    if (known.read && now - known.at_ms < kTipFreshMs && known.height >= seen) return known.height;
    json reply;
    if (http_get_json(woc_url("/chain/info"), reply, kTipTimeoutS) && reply.is_object()) {
        const auto blocks = reply.find("blocks");
        if (blocks != reply.end() && blocks->is_number_integer() && blocks->get<std::int64_t>() > 0 &&
            blocks->get<std::int64_t>() < kHeightLimit) {
            known = {blocks->get<std::int64_t>(), now, true};
            return known.height;
        }
    }
    // A tip that could not be read again stays as it was: older, so it counts fewer blocks final.
    return known.height;
}

void listed_tips_forget() {
    std::lock_guard<std::mutex> lock(g_tip_mutex);
    g_tips.clear();
}

ListEnd read_oracle_pages(const std::string& watch_key, UniqueIds& txids) {
    const std::string base = service_settings().platform_base + "/oi/oracle/" + watch_key + "/txids?limit=2000&offset=";
    for (std::size_t offset = 0; offset < kOracleOffsetLimit; offset += kOraclePageSize) {
        const ListEnd stopped = offset == 0 ? ListEnd::failed : ListEnd::cut;
        json reply;
        if (!http_get_json(base + std::to_string(offset), reply, kOracleTimeoutS)) return stopped;
        if (!reply.is_object()) return stopped;
        const auto page = reply.find("txids");
        if (page == reply.end() || !page->is_array()) return stopped;
        std::vector<std::string> page_ids;
        parse_watch_txids(reply, page_ids);
        bool new_here = false;
        for (const std::string& id : page_ids)
            new_here = txids.add(id) || new_here;
        if (page->empty() || page->size() < kOraclePageSize) return ListEnd::whole;
        if (!new_here) return ListEnd::cut;
    }
    return ListEnd::cut;
}

bool read_history_page(const std::string& list_url, HistoryCursor& cursor, std::vector<WatchRow>& rows, bool& more) {
    rows.clear();
    more = false;
    const char* const joiner = list_url.find('?') == std::string::npos ? "?" : "&";
    std::string url = list_url + joiner + "limit=" + kHistoryPageRows;
    if (!cursor.token.empty()) url += "&token=" + url_escape(cursor.token);
    // One action lists a watch's blocks once: what its gallery read listed moments ago serves the
    // title it then confirms. The mempool's list is asked again, for what the step itself sent.
    const bool blocks = list_url.find("/confirmed/history") != std::string::npos;
    json reply;
    if (const auto kept = blocks ? std::static_pointer_cast<const json>(step_kept("watch page " + url)) : nullptr) {
        reply = *kept;
    } else {
        if (!http_get_json(url, reply, kHistoryTimeoutS)) return false;
        if (blocks) step_keep("watch page " + url, std::make_shared<const json>(reply));
    }
    ++cursor.pages;
    std::vector<WatchRow> listed;
    reply_rows(reply, listed);
    cursor.previous = std::move(cursor.current);
    cursor.current.clear();
    for (WatchRow& row : listed)
        if (!cursor.previous.count(row.txid) && cursor.current.insert(row.txid).second) rows.push_back(std::move(row));
    cursor.token = next_page_token(reply);
    // A page that brings the list nothing new says the service would page for ever.
    more = !cursor.token.empty() && !rows.empty() && cursor.pages < kHistoryPagesPerList;
    return true;
}

// How a list whose last page read said no more pages remain ended.
ListEnd history_end(const HistoryCursor& cursor) {
    return cursor.token.empty() ? ListEnd::whole : ListEnd::cut;
}

// One of WhatsOnChain's history lists, page by page, each page handed to `page` as it comes;
// `page` returns false once the reader has what it needs.
ListEnd read_history(const std::string& list_url, bool bare_fallback,
                     const std::function<bool(std::vector<WatchRow>&)>& page) {
    HistoryCursor cursor;
    for (;;) {
        std::vector<WatchRow> rows;
        bool more = false;
        if (!read_history_page(list_url, cursor, rows, more)) {
            // Some deployments refuse the paging query of the mempool's list; the bare list says
            // nothing of pages left, so it never counts as the whole list.
            json reply;
            if (cursor.pages == 0 && bare_fallback && http_get_json(list_url, reply, kHistoryTimeoutS)) {
                reply_rows(reply, rows);
                page(rows);
                return ListEnd::cut;
            }
            return cursor.pages == 0 ? ListEnd::failed : ListEnd::cut;
        }
        if (!page(rows)) return ListEnd::whole;
        if (!more) return history_end(cursor);
    }
}

std::string confirmed_url(const std::string& watch_address, std::int64_t from) {
    return woc_url("/address/" + watch_address + "/confirmed/history?order=asc&height=" + std::to_string(from));
}

ListEnd read_waiting(const std::string& watch_address, std::vector<WatchRow>& rows) {
    return read_history(unconfirmed_url(watch_address), true, [&](std::vector<WatchRow>& page) {
        for (WatchRow& row : page) {
            row.height = 0;
            rows.push_back(std::move(row));
        }
        return true;
    });
}
