#include "art/watch_reader.h"

#include "art/watch_kept.h"
#include "chain/outpoints.h"
#include "chain/woc_client.h"
#include "wallet/clock.h"
#include "wallet/codecs.h"
#include "wallet/http_client.h"
#include "wallet/json_util.h"
#include "wallet/settings.h"

#include <algorithm>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <unordered_set>

using json = nlohmann::json;

namespace {

constexpr std::int32_t kOracleTimeoutS = 8;
constexpr std::int32_t kHistoryTimeoutS = 15;
constexpr std::int32_t kOracleTxTimeoutS = 6;
constexpr std::int32_t kWocTxTimeoutS = 12;
constexpr std::size_t kOraclePageSize = 2000;
constexpr std::size_t kOracleOffsetLimit = 20000;
constexpr const char* kHistoryPageRows = "1000";
// A read lists only what came after what it kept, so no honest list it reads runs this long (ten
// million payments at a watch since its last read); a service that pages on for ever stops here.
constexpr int kHistoryPagesPerList = 10000;
// Ids fetched at once while a bounded read looks for its first record: one bulk request first
// (the record sought is often the first listed in its block), then four side by side.
constexpr std::size_t kScanFirstRound = 20;
constexpr std::size_t kScanRound = 80;
// Payments waiting in the mempool kept in memory per watch, read once until they are mined.
constexpr std::size_t kWaitingLimit = 20000;

// How a paged list ended: no page answered, stopped with pages left (a failure, a page with
// nothing new, the bound), or read as far as asked.
enum class ListEnd { failed, cut, whole };

// One listed transaction: its block, 0 while it waits in the mempool or where no block is listed.
struct Row {
    std::string txid;
    std::int64_t height = 0;
};

// A list of ids in the order first found, each once; the test for a repeat costs the same however
// long the list grows.
struct UniqueIds {
    std::vector<std::string> ids;
    std::unordered_set<std::string> seen;
    bool add(const std::string& id) {
        if (!seen.insert(id).second) return false;
        ids.push_back(id);
        return true;
    }
};

// Pages of the platform's oracle index, 2000 ids each, up to offset 18000. Ends at the first
// failure, short page or page with nothing new.
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

std::string next_page_token(const json& reply) {
    if (!reply.is_object()) return "";
    for (const char* key : {"nextPageToken", "next-page"}) {
        const auto it = reply.find(key);
        if (it != reply.end() && it->is_string()) return it->get<std::string>();
    }
    return "";
}

// The rows of a history reply: {tx_hash, height} objects or bare ids, in the reply's order.
void reply_rows(const json& reply, std::vector<Row>& rows) {
    const json* items = &reply;
    if (reply.is_object()) {
        const auto it = reply.find("result");
        if (it == reply.end()) return;
        items = &*it;
    }
    if (!items->is_array()) return;
    for (const json& item : *items) {
        Row row;
        std::vector<std::string> one;
        parse_watch_txid_item(item, one);
        if (one.empty()) continue;
        row.txid = std::move(one[0]);
        if (item.is_object()) {
            const auto height = item.find("height");
            if (height != item.end() && height->is_number_integer())
                row.height = std::max<std::int64_t>(0, height->get<std::int64_t>());
        }
        rows.push_back(std::move(row));
    }
}

// Where a paged history list stands: the next page's token, the ids it listed so far, the pages read.
struct HistoryCursor {
    std::string token;
    std::unordered_set<std::string> seen;
    int pages = 0;
};

// The next page of one of WhatsOnChain's history lists: `rows` receives the ids it lists for the
// first time. False when the service did not answer; `more` tells whether pages remain.
bool read_history_page(const std::string& list_url, HistoryCursor& cursor, std::vector<Row>& rows, bool& more) {
    rows.clear();
    more = false;
    const char* const joiner = list_url.find('?') == std::string::npos ? "?" : "&";
    std::string url = list_url + joiner + "limit=" + kHistoryPageRows;
    if (!cursor.token.empty()) url += "&token=" + url_escape(cursor.token);
    json reply;
    if (!http_get_json(url, reply, kHistoryTimeoutS)) return false;
    ++cursor.pages;
    std::vector<Row> listed;
    reply_rows(reply, listed);
    for (Row& row : listed)
        if (cursor.seen.insert(row.txid).second) rows.push_back(std::move(row));
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
                     const std::function<bool(std::vector<Row>&)>& page) {
    HistoryCursor cursor;
    for (;;) {
        std::vector<Row> rows;
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

std::string unconfirmed_url(const std::string& watch_address) {
    return woc_url("/address/" + watch_address + "/unconfirmed/history");
}

// What is known of a watch at one service: what is kept on disk, and the payments waiting in the
// mempool this process read (null where one carries no record).
struct WatchMemory {
    std::mutex mutex;
    WatchKept kept;
    std::unordered_map<std::string, json> waiting;
    std::int64_t note_version = 0;
};
std::mutex g_memory_mutex;
std::map<std::string, std::shared_ptr<WatchMemory>> g_memories;
// Reads of one watch go one after another, so what one read keeps the next finds rather than
// reads again; each watch's lock, made once, lives as long as the program.
std::map<std::string, std::shared_ptr<std::mutex>> g_read_locks;

std::string memory_key(const std::string& watch_key) {
    return service_key(watch_key);
}

std::shared_ptr<std::mutex> read_lock(const std::string& key) {
    std::lock_guard<std::mutex> lock(g_memory_mutex);
    std::shared_ptr<std::mutex>& held = g_read_locks[key];
    if (!held) held = std::make_shared<std::mutex>();
    return held;
}

// The memory of a watch, read from its files the first time.
std::shared_ptr<WatchMemory> memory_of(const std::string& key) {
    std::shared_ptr<WatchMemory> memory;
    {
        std::lock_guard<std::mutex> lock(g_memory_mutex);
        std::shared_ptr<WatchMemory>& held = g_memories[key];
        if (held) return held;
        held = memory = std::make_shared<WatchMemory>();
        // Loaded under its own lock, taken before the map's is let go, so no reader sees it empty.
        memory->mutex.lock();
    }
    kept_load(key, memory->kept);
    memory->mutex.unlock();
    return memory;
}

} // namespace

// What a gallery read's title reads share of each watch: its new blocks, listed once in block
// order and only as far as the furthest of them needs, and its mempool.
struct WatchTail {
    std::mutex mutex;
    std::string url;
    std::int64_t from = 0;
    std::vector<Row> confirmed; // as listed, ascending by block
    HistoryCursor cursor;
    bool confirmed_done = false;
    ListEnd confirmed_end = ListEnd::failed;
    bool waiting_read = false;
    std::vector<Row> waiting;
    ListEnd waiting_end = ListEnd::failed;
};

struct WatchListings {
    std::mutex mutex;
    std::map<std::string, std::shared_ptr<WatchTail>> tails;
};

namespace {

thread_local WatchListings* t_listings = nullptr;

ListEnd read_waiting(const std::string& watch_address, std::vector<Row>& rows) {
    return read_history(unconfirmed_url(watch_address), true, [&](std::vector<Row>& page) {
        for (Row& row : page) {
            row.height = 0;
            rows.push_back(std::move(row));
        }
        return true;
    });
}

// The next page of the tail's confirmed list; the caller holds its mutex.
void tail_read_page(WatchTail& tail) {
    std::vector<Row> rows;
    bool more = false;
    if (!read_history_page(tail.url, tail.cursor, rows, more)) {
        tail.confirmed_end = tail.cursor.pages == 0 ? ListEnd::failed : ListEnd::cut;
        tail.confirmed_done = true;
        return;
    }
    for (Row& row : rows)
        if (row.height >= tail.from) tail.confirmed.push_back(std::move(row));
    if (!more) {
        tail.confirmed_end = history_end(tail.cursor);
        tail.confirmed_done = true;
    }
}

// The tail's rows from the first at or after block `from`, a page at a time: `rows` receives those
// from index `at` on, read from the service when no reader has asked that far yet. False once the
// list has no more (`end` then tells how it ended).
bool tail_rows(WatchTail& tail, std::int64_t from, std::size_t& at, std::vector<Row>& rows, ListEnd& end) {
    std::lock_guard<std::mutex> lock(tail.mutex);
    if (at == 0)
        at = static_cast<std::size_t>(
            std::lower_bound(tail.confirmed.begin(), tail.confirmed.end(), from,
                             [](const Row& row, std::int64_t height) { return row.height < height; }) -
            tail.confirmed.begin());
    while (at >= tail.confirmed.size() && !tail.confirmed_done)
        tail_read_page(tail);
    rows.assign(tail.confirmed.begin() + static_cast<std::ptrdiff_t>(std::min(at, tail.confirmed.size())),
                tail.confirmed.end());
    at = tail.confirmed.size();
    end = tail.confirmed_end;
    return !rows.empty();
}

// The tail's mempool rows, listed the first time a reader asks.
ListEnd tail_waiting(WatchTail& tail, const std::string& watch_address, std::vector<Row>& rows) {
    std::lock_guard<std::mutex> lock(tail.mutex);
    if (!tail.waiting_read) {
        tail.waiting_read = true;
        tail.waiting_end = read_waiting(watch_address, tail.waiting);
    }
    rows = tail.waiting;
    return tail.waiting_end;
}

// The scope's listing of the watch from `from` on: the one the scope started first when it starts
// no later, else none (the caller lists alone).
std::shared_ptr<WatchTail> scope_tail(WatchListings& scope, const std::string& key, const std::string& watch_address,
                                      std::int64_t from) {
    std::lock_guard<std::mutex> lock(scope.mutex);
    std::shared_ptr<WatchTail>& tail = scope.tails[key];
    if (!tail) {
        tail = std::make_shared<WatchTail>();
        tail->url = confirmed_url(watch_address, from);
        tail->from = from;
    }
    return tail->from <= from ? tail : nullptr;
}

// The block a transaction's JSON names; 0 while it waits.
std::int64_t json_block(const json& tx) {
    if (!tx.is_object()) return 0;
    const auto height = tx.find("blockheight");
    return height != tx.end() && height->is_number_integer() ? std::max<std::int64_t>(0, height->get<std::int64_t>())
                                                             : 0;
}

// One read of a watch: what it found, and what it learned for the memory.
struct WatchScan {
    const WatchScanBounds& bounds;
    WatchMemory& memory;
    std::vector<WatchRecord>& records;
    std::int64_t found_at = 0; // block of the first accepted record; -1 when it was unconfirmed
    bool all_read = true;
    std::int64_t listed = 0;
    std::unordered_set<std::string> seen;
    std::map<std::string, KeptRecord> learned;
    std::unordered_map<std::string, std::int64_t> listed_mined; // what the listing showed, by block

    WatchScan(const WatchScanBounds& b, WatchMemory& m, std::vector<WatchRecord>& r)
        : bounds(b), memory(m), records(r) {}

    // Whether the read is past the block of its find.
    bool past(std::int64_t height) const { return found_at != 0 && (found_at < 0 || height <= 0 || height > found_at); }
    bool in_bounds(std::int64_t height) const {
        return height <= 0 || (height >= bounds.min_height && (bounds.mined_by <= 0 || height <= bounds.mined_by));
    }

    void take(const std::string& txid, std::int64_t height, const json& tx) {
        WatchRecord record;
        if (!watch_record_of_tx(txid, listed++, tx, record)) return;
        if (bounds.enough && found_at == 0 && bounds.enough(record)) found_at = height > 0 ? height : -1;
        records.push_back(std::move(record));
    }

    // Reads the rows, oldest block first with those of no block last, fetching in bulk what is
    // not at hand; with a search, a round at a time, ending at the block of its find.
    void examine(std::vector<Row> rows) {
        std::vector<Row> wanted;
        for (Row& row : rows) {
            row.txid = to_lower_copy(row.txid);
            if (!is_txid_hex(row.txid) || !in_bounds(row.height)) continue;
            if (row.height > 0) listed_mined[row.txid] = row.height;
            if (seen.insert(row.txid).second) wanted.push_back(std::move(row));
        }
        std::stable_sort(wanted.begin(), wanted.end(), [](const Row& a, const Row& b) {
            if ((a.height > 0) != (b.height > 0)) return a.height > 0;
            return a.height < b.height;
        });
        std::size_t next = 0;
        while (next < wanted.size()) {
            const std::size_t round = next == 0 ? kScanFirstRound : kScanRound;
            std::size_t end = bounds.enough ? std::min(wanted.size(), next + round) : wanted.size();
            std::vector<json> txs;
            std::vector<char> at_hand;
            std::vector<std::string> missing;
            {
                std::lock_guard<std::mutex> lock(memory.mutex);
                for (std::size_t k = next; k < end; ++k) {
                    const Row& row = wanted[k];
                    if (past(row.height)) {
                        end = k;
                        break;
                    }
                    json tx;
                    bool known = false;
                    const auto kept = memory.kept.records.find(row.txid);
                    // An id listed without a block is the kept one wherever that stands.
                    if (kept != memory.kept.records.end() && (kept->second.height == row.height || row.height == 0)) {
                        tx = json_parse_or_discarded(kept->second.tx);
                        known = !tx.is_discarded();
                    }
                    const auto waiting = memory.waiting.find(row.txid);
                    if (row.height > 0 && waiting != memory.waiting.end()) memory.waiting.erase(waiting);
                    if (row.height == 0 && waiting != memory.waiting.end()) {
                        tx = waiting->second;
                        known = true;
                    }
                    txs.push_back(known ? std::move(tx) : json());
                    at_hand.push_back(known ? 1 : 0);
                    if (!known) missing.push_back(row.txid);
                }
            }
            if (txs.empty()) break;
            // The watch lists every payment to it, strangers' too: what is not at hand is read in
            // bulk, and one by one only where the bulk reply had no copy.
            std::vector<json> bulk;
            woc_bulk_tx_json(missing, bulk);
            std::size_t next_bulk = 0;
            for (std::size_t k = 0; k < txs.size(); ++k) {
                const Row& row = wanted[next + k];
                if (!at_hand[k]) {
                    txs[k] = std::move(bulk[next_bulk++]);
                    if (txs[k].is_null() && !fetch_tx_json(row.txid, txs[k])) {
                        all_read = false;
                        continue;
                    }
                    learn(row, txs[k]);
                }
                if (txs[k].is_null()) continue;
                // An id listed without a block (by the oracle index) is placed by its own copy.
                const std::int64_t height = row.height > 0 ? row.height : json_block(txs[k]);
                if (!in_bounds(height)) continue;
                take(row.txid, height, txs[k]);
            }
            next = end;
        }
    }

    // Keeps what a fetch read: a mined record for the file, a waiting payment for this process.
    void learn(const Row& row, const json& tx) {
        WatchRecord record;
        const bool counts = watch_record_of_tx(row.txid, 0, tx, record);
        std::lock_guard<std::mutex> lock(memory.mutex);
        if (row.height > 0) {
            if (counts) learned[row.txid] = {row.height, 0, tx.dump(-1, ' ', false, json::error_handler_t::replace)};
            return;
        }
        const std::int64_t mined = json_block(tx);
        if (mined > 0 && counts)
            learned[row.txid] = {mined, 0, tx.dump(-1, ' ', false, json::error_handler_t::replace)};
        if (mined > 0) return;
        if (memory.waiting.size() >= kWaitingLimit) memory.waiting.clear();
        memory.waiting[row.txid] = counts ? tx : json();
    }
};

// The kept records of blocks from..to, oldest first, as rows.
std::vector<Row> kept_rows(WatchMemory& memory, std::int64_t from, std::int64_t to) {
    std::vector<std::pair<std::pair<std::int64_t, std::int64_t>, std::string>> found;
    {
        std::lock_guard<std::mutex> lock(memory.mutex);
        for (const auto& [txid, record] : memory.kept.records)
            if (record.height >= from && record.height <= to) found.push_back({{record.height, record.seq}, txid});
    }
    std::sort(found.begin(), found.end());
    std::vector<Row> rows;
    for (auto& [place, txid] : found)
        rows.push_back({std::move(txid), place.first});
    return rows;
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
                         std::vector<std::string>& txids, std::string& error, bool* whole,
                         std::map<std::string, std::int64_t>* heights) {
    txids.clear();
    if (heights) heights->clear();
    error.clear();
    if (whole) *whole = false;
    if (watch_address.empty()) {
        error = "watch address is not assigned";
        return false;
    }
    UniqueIds ids;
    const auto add = [&](std::vector<Row>& rows) {
        for (const Row& row : rows) {
            const std::string id = to_lower_copy(row.txid);
            ids.add(id);
            if (heights && row.height > 0) (*heights)[id] = row.height;
        }
        return true;
    };
    const ListEnd confirmed = read_history(confirmed_url(watch_address, 0), false, add);
    std::vector<Row> waiting;
    const ListEnd pool = read_waiting(watch_address, waiting);
    add(waiting);
    // The oracle index may lag or miss transactions, and indexes records that paid another watch:
    // its ids join the listing, but never make it whole.
    const ListEnd oracle = read_oracle_pages(watch_key, ids);
    txids = std::move(ids.ids);
    if (whole) *whole = confirmed == ListEnd::whole && pool == ListEnd::whole;
    if (confirmed != ListEnd::failed || pool != ListEnd::failed || oracle != ListEnd::failed || !txids.empty())
        return true;
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

std::string watch_note(const std::string& watch_key, const std::string& name) {
    const std::shared_ptr<WatchMemory> memory = memory_of(memory_key(watch_key));
    std::lock_guard<std::mutex> lock(memory->mutex);
    const auto it = memory->kept.notes.find(name);
    return it == memory->kept.notes.end() ? std::string() : it->second.value;
}

void watch_note_set(const std::string& watch_key, const std::string& name, const std::string& value) {
    const std::string key = memory_key(watch_key);
    const std::shared_ptr<WatchMemory> memory = memory_of(key);
    std::lock_guard<std::mutex> lock(memory->mutex);
    const auto it = memory->kept.notes.find(name);
    const std::string now = it == memory->kept.notes.end() ? std::string() : it->second.value;
    if (now == value) return;
    // Later than any note this process saw, so a merge keeps the newest word on each note.
    KeptNote note{value, std::max(clock_system_ms(), memory->note_version + 1)};
    for (const auto& [other, kept] : memory->kept.notes)
        note.version = std::max(note.version, kept.version + 1);
    memory->note_version = note.version;
    memory->kept.notes[name] = note;
    kept_note_append(key, name, note, memory->kept);
}

bool watch_kept_record(const std::string& watch_key, const std::string& txid, WatchRecord& record) {
    std::string text;
    {
        const std::shared_ptr<WatchMemory> memory = memory_of(memory_key(watch_key));
        std::lock_guard<std::mutex> lock(memory->mutex);
        const auto it = memory->kept.records.find(txid);
        if (it == memory->kept.records.end()) return false;
        text = it->second.tx;
    }
    const json tx = json_parse_or_discarded(text);
    return !tx.is_discarded() && watch_record_of_tx(txid, 0, tx, record);
}

void watch_memory_forget() {
    std::lock_guard<std::mutex> lock(g_memory_mutex);
    g_memories.clear();
}

bool scan_watch_messages(const std::string& watch_key, const std::string& watch_address,
                         std::vector<WatchRecord>& records, std::string& error, bool* whole,
                         const WatchScanBounds& bounds) {
    records.clear();
    error.clear();
    if (whole) *whole = false;
    if (watch_address.empty()) {
        error = "watch address is not assigned";
        return false;
    }
    const std::string key = memory_key(watch_key);
    const std::shared_ptr<std::mutex> one_at_a_time = read_lock(key);
    std::lock_guard<std::mutex> reading(*one_at_a_time);
    const std::shared_ptr<WatchMemory> memory = memory_of(key);
    WatchScan scan(bounds, *memory, records);
    const std::int64_t start = std::max<std::int64_t>(0, bounds.min_height);

    // The blocks read whole before are taken as kept, unless the caller wants them listed afresh.
    std::int64_t covered_to = start - 1;
    if (!bounds.fresh) {
        std::lock_guard<std::mutex> lock(memory->mutex);
        covered_to = kept_covered_to(memory->kept, start);
    }
    if (bounds.mined_by > 0) covered_to = std::min(covered_to, bounds.mined_by);
    if (covered_to >= start) scan.examine(kept_rows(*memory, start, covered_to));

    bool confirmed_whole = scan.found_at > 0 || (bounds.mined_by > 0 && covered_to >= bounds.mined_by);
    bool answered = true, confirmed_failed = false;
    std::int64_t read_to = covered_to; // the last block this read saw whole
    const std::int64_t from = covered_to + 1;
    std::shared_ptr<WatchTail> tail;
    if (!confirmed_whole && t_listings && !bounds.fresh) tail = scope_tail(*t_listings, key, watch_address, from);
    if (!confirmed_whole) {
        std::int64_t highest = covered_to;
        bool ascending = true;
        const auto page = [&](std::vector<Row>& rows) {
            std::vector<Row> mine;
            for (Row& row : rows) {
                // A service that ignores the starting block lists older ones too.
                if (row.height < from) continue;
                ascending = ascending && row.height >= highest;
                highest = std::max(highest, row.height);
                mine.push_back(std::move(row));
            }
            scan.examine(std::move(mine));
            // Listed in block order, nothing later can stand before the find or inside the bounds.
            const bool done = ascending && ((scan.found_at > 0 && highest > scan.found_at) ||
                                            (bounds.mined_by > 0 && highest > bounds.mined_by));
            return !done;
        };
        ListEnd end = ListEnd::failed;
        if (tail) {
            std::size_t at = 0;
            std::vector<Row> rows;
            for (;;) {
                const bool more = tail_rows(*tail, from, at, rows, end);
                if (more && !page(rows)) {
                    end = ListEnd::whole;
                    break;
                }
                if (!more) break;
            }
        } else {
            end = read_history(confirmed_url(watch_address, from), false, page);
        }
        confirmed_whole = end == ListEnd::whole;
        confirmed_failed = end == ListEnd::failed;
        answered = !confirmed_failed;
        if (scan.found_at > 0)
            read_to = scan.found_at;
        else if (bounds.mined_by > 0 && highest >= bounds.mined_by)
            read_to = bounds.mined_by;
        else
            read_to = highest;
    }

    // The mempool matters while no mined record ended the search.
    bool waiting_whole = true;
    if (scan.found_at <= 0) {
        std::vector<Row> rows;
        ListEnd end = ListEnd::failed;
        if (tail) {
            end = tail_waiting(*tail, watch_address, rows);
        } else {
            end = read_waiting(watch_address, rows);
        }
        waiting_whole = end == ListEnd::whole;
        answered = answered || end != ListEnd::failed;
        scan.examine(std::move(rows));
    }
    // The oracle index stands in while WhatsOnChain's history cannot be read, and a read of the
    // whole watch takes its ids too (it indexes records that paid another watch); they carry no
    // block, and it never makes a read whole.
    bool oracle_answered = false;
    const bool unbounded = bounds.min_height <= 0 && bounds.mined_by <= 0 && !bounds.enough;
    if (confirmed_failed || unbounded) {
        UniqueIds ids;
        oracle_answered = read_oracle_pages(watch_key, ids) != ListEnd::failed;
        std::vector<Row> rows;
        for (const std::string& id : ids.ids)
            rows.push_back({id, 0});
        scan.examine(std::move(rows));
    }
    if (!answered && !oracle_answered && records.empty()) {
        error = "OI " + watch_key + " missed and WhatsOnChain missed";
        return false;
    }

    bool changed = false;
    {
        std::lock_guard<std::mutex> lock(memory->mutex);
        WatchKept& kept = memory->kept;
        for (auto& [txid, record] : scan.learned) {
            record.seq = kept.next_seq++;
            kept.records[txid] = std::move(record);
            changed = true;
        }
        if (confirmed_whole && scan.all_read && read_to >= start) {
            // A fresh read forgets a kept record no longer listed where it was read.
            if (bounds.fresh) {
                for (auto it = kept.records.begin(); it != kept.records.end();) {
                    const auto listed = scan.listed_mined.find(it->first);
                    const bool gone = it->second.height >= start && it->second.height <= read_to &&
                                      (listed == scan.listed_mined.end() || listed->second != it->second.height);
                    if (!gone) {
                        ++it;
                        continue;
                    }
                    kept.dropped.insert(it->first);
                    it = kept.records.erase(it);
                    changed = true;
                }
            }
            if (kept_covered_to(kept, start) < read_to) {
                kept_add_range(kept, start, read_to);
                changed = true;
            }
        }
        if (changed) kept_save(key, kept);
    }
    sort_watch_records(records);
    if (whole) *whole = confirmed_whole && (scan.found_at > 0 || waiting_whole);
    if (!scan.all_read) error = kWatchRecordsUnread;
    return scan.all_read;
}

WatchListingsScope::WatchListingsScope() : shared(std::make_shared<WatchListings>()) {}

WatchListingsUse::WatchListingsUse(const WatchListingsScope& scope) : WatchListingsUse(scope.shared.get()) {}

WatchListingsUse::WatchListingsUse(WatchListings* scope) : previous_(t_listings) {
    t_listings = scope;
}

WatchListings* watch_listings_in_use() {
    return t_listings;
}

WatchListingsUse::~WatchListingsUse() {
    t_listings = previous_;
}
