#include "art/watch_reader.h"

#include "chain/outpoints.h"
#include "chain/woc_client.h"
#include "identity/typed_verify.h"
#include "platform/fs.h"
#include "wallet/codecs.h"
#include "wallet/http_client.h"
#include "wallet/json_util.h"
#include "wallet/parallel.h"
#include "wallet/registry.h"
#include "wallet/settings.h"

#include <algorithm>
#include <future>
#include <memory>
#include <mutex>
#include <unordered_set>

using json = nlohmann::json;

namespace {

constexpr std::int32_t kOracleTimeoutS = 8;
constexpr std::int32_t kHistoryTimeoutS = 15;
constexpr std::int32_t kOracleTxTimeoutS = 6;
constexpr std::int32_t kWocTxTimeoutS = 12;
constexpr std::size_t kOraclePageSize = 2000;
constexpr std::size_t kOracleOffsetLimit = 20000;
// A watch carries every record of the platform, so its lists are paged to their end, as many ids
// a page as the service gives; a list longer than this many pages is reported as not read whole.
constexpr int kHistoryPagesPerList = 100;
constexpr const char* kHistoryPageQuery = "?limit=1000";
// Ids fetched at once while a bounded read looks for its first record: one bulk request first
// (the record sought is often the first listed in its block), then four side by side.
constexpr std::size_t kScanFirstRound = 20;
constexpr std::size_t kScanRound = 80;
// What is kept of a watch: past this many transactions, or a file this large, it starts afresh.
constexpr std::size_t kKeptTxsLimit = 200000;
constexpr std::size_t kKeptFileBytes = std::size_t(64) << 20;

// How a paged list ended: no page answered, stopped with pages left (a bound, a failure, a page
// with nothing new), or read to its last page.
enum class ListEnd { failed, cut, whole };

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
    // True when any of `more` was new.
    bool add_all(const std::vector<std::string>& more) {
        bool added = false;
        for (const std::string& id : more)
            added = add(id) || added;
        return added;
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
        const bool new_here = txids.add_all(page_ids);
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
ListEnd read_history_list(const std::string& list_url, UniqueIds& txids, ListedHeights& heights) {
    bool answered = false;
    std::string token;
    for (int page = 0; page < kHistoryPagesPerList; ++page) {
        std::string url = list_url + kHistoryPageQuery;
        if (!token.empty()) url += "&token=" + url_escape(token);
        json reply;
        std::vector<std::string> page_ids;
        if (!http_get_json(url, reply, kHistoryTimeoutS)) {
            // Some deployments refuse the paging query; the bare list is the fallback for the first page.
            // It says nothing of pages left, so it never counts as the whole list.
            if (page == 0 && token.empty() && http_get_json(list_url, reply, kHistoryTimeoutS)) {
                parse_watch_txids(reply, page_ids);
                txids.add_all(page_ids);
                note_heights(reply, &heights);
                answered = true;
            }
            return answered ? ListEnd::cut : ListEnd::failed;
        }
        answered = true;
        parse_watch_txids(reply, page_ids);
        note_heights(reply, &heights);
        // A page that brings this list nothing new says the service would page for ever.
        const bool new_here = txids.add_all(page_ids);
        token = next_page_token(reply);
        if (token.empty()) return ListEnd::whole;
        if (!new_here) return ListEnd::cut;
    }
    return ListEnd::cut;
}

// One listing of a watch as fetch_address_txids gives it.
struct Listing {
    bool ok = false;
    bool whole = false;
    std::vector<std::string> txids;
    ListedHeights heights;
    std::string error;
};

// The four sources side by side (the oracle's pages, then WhatsOnChain's three lists, each paged
// in turn), merged in that order.
Listing list_watch(const std::string& watch_key, const std::string& watch_address) {
    const char* const suffixes[] = {"/unconfirmed/history", "/history", "/confirmed/history"};
    const std::string base = woc_url("/address/" + watch_address);
    UniqueIds lists[4];
    ListedHeights heights[4];
    ListEnd ends[4] = {ListEnd::failed, ListEnd::failed, ListEnd::failed, ListEnd::failed};
    parallel_for(4, 4, [&](std::uint64_t i) {
        ends[i] = i == 0 ? read_oracle_pages(watch_key, lists[0])
                         : read_history_list(base + suffixes[i - 1], lists[i], heights[i]);
    });
    Listing listing;
    UniqueIds merged;
    for (int i = 0; i < 4; ++i) {
        merged.add_all(lists[i].ids);
        listing.heights.insert(heights[i].begin(), heights[i].end());
    }
    listing.txids = std::move(merged.ids);
    // The oracle index may lag or miss transactions, so the address history is always read too.
    // Its two halves, each paged to its end, list the address whole; a list cut short leaves the
    // oracle's answer in doubt too, since the oracle may miss transactions.
    const bool woc_answered = ends[1] != ListEnd::failed || ends[2] != ListEnd::failed || ends[3] != ListEnd::failed;
    const bool woc_cut = ends[1] == ListEnd::cut || ends[2] == ListEnd::cut || ends[3] == ListEnd::cut;
    const bool halves_whole = ends[1] == ListEnd::whole && ends[3] == ListEnd::whole;
    listing.whole = halves_whole || (ends[0] == ListEnd::whole && !woc_cut);
    listing.ok = woc_answered || !listing.txids.empty();
    if (!listing.ok) listing.error = "OI " + watch_key + " missed and WhatsOnChain missed";
    return listing;
}

// Listings of one watch under way: a reader that asks while one is read takes its answer rather
// than read the same pages again (the gallery's frames read their titles at the same moment).
using SharedListing = std::shared_future<std::shared_ptr<const Listing>>;
std::mutex g_listing_mutex;
std::map<std::string, SharedListing> g_listings;

} // namespace

struct WatchListings {
    std::mutex mutex;
    std::map<std::string, SharedListing> listings; // kept for the scope's life
};

namespace {

thread_local WatchListings* t_listings = nullptr;

std::shared_ptr<const Listing> shared_listing(const std::string& watch_key, const std::string& watch_address) {
    const ServiceSettings settings = service_settings();
    const std::string key = settings.woc_base + "|" + settings.platform_base + "|" + watch_key + "|" + watch_address;
    std::promise<std::shared_ptr<const Listing>> promise;
    SharedListing under_way;
    // Within a gallery read's scope a listing stays for every later reader of the scope.
    WatchListings* scope = t_listings;
    {
        std::lock_guard<std::mutex> lock(scope ? scope->mutex : g_listing_mutex);
        std::map<std::string, SharedListing>& listings = scope ? scope->listings : g_listings;
        const auto it = listings.find(key);
        if (it != listings.end())
            under_way = it->second;
        else
            listings.emplace(key, promise.get_future().share());
    }
    if (under_way.valid()) return under_way.get();
    std::shared_ptr<const Listing> listing;
    try {
        listing = std::make_shared<const Listing>(list_watch(watch_key, watch_address));
    } catch (...) {
        // A read that failed in a way no reply explains is a listing that failed, for every waiter.
        listing = std::make_shared<const Listing>();
    }
    if (!scope) {
        std::lock_guard<std::mutex> lock(g_listing_mutex);
        g_listings.erase(key);
    }
    promise.set_value(listing);
    return listing;
}

// What was read of a watch at one service, kept across reads and restarts: the block each mined
// listed transaction was read in, with the transaction where it carries a record (strangers'
// payments keep only their block), and the notes a reader keeps with them. A mined transaction
// never changes, so it is read once; one a listing shows in another block is read again.
struct KeptTx {
    std::int64_t height = 0;
    json tx; // null: carries no record that counts
};
struct WatchMemory {
    bool loaded = false;
    std::map<std::string, KeptTx> txs;
    std::map<std::string, std::string> notes;
};
std::mutex g_memory_mutex;
std::map<std::string, WatchMemory> g_memories;
// Reads of one watch fetch one after another, so what one read keeps the next finds rather than
// fetch again; each memory's lock, made once, lives as long as the program.
std::map<std::string, std::shared_ptr<std::mutex>> g_fetch_locks;

std::shared_ptr<std::mutex> fetch_lock(const std::string& key) {
    std::lock_guard<std::mutex> lock(g_memory_mutex);
    std::shared_ptr<std::mutex>& held = g_fetch_locks[key];
    if (!held) held = std::make_shared<std::mutex>();
    return held;
}

std::string memory_key(const std::string& watch_key) {
    const ServiceSettings settings = service_settings();
    return settings.woc_base + "|" + settings.platform_base + "|" + watch_key;
}

std::string memory_path(const std::string& key) {
    return kestrava_data_dir() + "/registry/watch_" + sha256_hex(key).substr(0, 32) + ".json";
}

void load_memory(const std::string& key, WatchMemory& memory) {
    const std::string path = memory_path(key);
    std::string text, error;
    json doc;
    if (!platform_read_file(path, text) || text.empty()) return;
    if (text.size() > kKeptFileBytes || !json_parse_bounded(text, doc, error) || !doc.is_object() ||
        json_text(doc, "service") != key) {
        set_aside_damaged_file(path);
        return;
    }
    const auto txs = doc.find("txs");
    if (txs != doc.end() && txs->is_object()) {
        for (const auto& [txid, kept] : txs->items()) {
            if (memory.txs.size() >= kKeptTxsLimit || !is_txid_hex(txid) || !kept.is_object()) continue;
            const auto height = kept.find("h");
            if (height == kept.end() || !height->is_number_integer() || height->get<std::int64_t>() <= 0) continue;
            const auto tx = kept.find("tx");
            memory.txs[txid] = {height->get<std::int64_t>(), tx != kept.end() && tx->is_object() ? *tx : json()};
        }
    }
    const auto notes = doc.find("notes");
    if (notes != doc.end() && notes->is_object()) {
        for (const auto& [name, value] : notes->items())
            if (value.is_string()) memory.notes[name] = value.get<std::string>();
    }
}

// The memory of a watch, read from its file the first time; the caller holds g_memory_mutex.
WatchMemory& memory_of(const std::string& key) {
    WatchMemory& memory = g_memories[key];
    if (!memory.loaded) {
        memory.loaded = true;
        load_memory(key, memory);
    }
    return memory;
}

// Writes the memory of a watch whole beside its file and moves it into place.
void save_memory(const std::string& key) {
    json doc = {{"service", key}, {"txs", json::object()}, {"notes", json::object()}};
    {
        std::lock_guard<std::mutex> lock(g_memory_mutex);
        const WatchMemory& memory = memory_of(key);
        for (const auto& [txid, kept] : memory.txs) {
            json entry = {{"h", kept.height}};
            if (!kept.tx.is_null()) entry["tx"] = kept.tx;
            doc["txs"][txid] = std::move(entry);
        }
        for (const auto& [name, value] : memory.notes)
            doc["notes"][name] = value;
    }
    const std::string path = memory_path(key);
    platform_make_dirs(path.substr(0, path.find_last_of('/')));
    // A memory that cannot be written is read again from the chain next time; nothing is lost.
    write_data_file(path, doc.dump(-1, ' ', false, json::error_handler_t::replace), false);
}

// The record a transaction carries, as a watch read keeps it; false when none counts.
bool record_of_tx(const std::string& txid, std::int64_t listed, json tx, WatchRecord& record) {
    record = WatchRecord{};
    record.listed = listed;
    record.tx = std::move(tx);
    if (!find_art_message_in_tx(record.tx, record.msg)) return false;
    // A record keeps the meaning it had when it went on chain: it speaks for the key it carries,
    // whatever key its paymail names today. The rules that read it compare keys.
    if (!verify_channel_message(record.msg)) return false;
    record.ts = json_ts(record.msg);
    if (record.ts <= 0) return false;
    record.txid = txid;
    return true;
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
    const std::shared_ptr<const Listing> listing = shared_listing(watch_key, watch_address);
    txids = listing->txids;
    if (heights) *heights = listing->heights;
    if (whole) *whole = listing->whole;
    error = listing->error;
    return listing->ok;
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
    std::lock_guard<std::mutex> lock(g_memory_mutex);
    const WatchMemory& memory = memory_of(memory_key(watch_key));
    const auto it = memory.notes.find(name);
    return it == memory.notes.end() ? std::string() : it->second;
}

void watch_note_set(const std::string& watch_key, const std::string& name, const std::string& value) {
    const std::string key = memory_key(watch_key);
    {
        std::lock_guard<std::mutex> lock(g_memory_mutex);
        WatchMemory& memory = memory_of(key);
        const auto it = memory.notes.find(name);
        if (value.empty() ? it == memory.notes.end() : it != memory.notes.end() && it->second == value) return;
        if (value.empty())
            memory.notes.erase(it);
        else
            memory.notes[name] = value;
    }
    save_memory(key);
}

bool watch_kept_record(const std::string& watch_key, const std::string& txid, WatchRecord& record) {
    json tx;
    {
        std::lock_guard<std::mutex> lock(g_memory_mutex);
        const WatchMemory& memory = memory_of(memory_key(watch_key));
        const auto it = memory.txs.find(txid);
        if (it == memory.txs.end() || it->second.tx.is_null()) return false;
        tx = it->second.tx;
    }
    return record_of_tx(txid, 0, std::move(tx), record);
}

void watch_memory_forget() {
    std::lock_guard<std::mutex> lock(g_memory_mutex);
    g_memories.clear();
}

bool scan_watch_messages(const std::string& watch_key, const std::string& watch_address,
                         std::vector<WatchRecord>& records, std::string& error, bool* whole,
                         const WatchScanBounds& bounds) {
    records.clear();
    std::vector<std::string> txids;
    ListedHeights heights;
    if (!fetch_address_txids(watch_key, watch_address, txids, error, whole, &heights)) return false;
    const auto height_of = [&](const std::string& txid) {
        const auto listed = heights.find(txid);
        return listed == heights.end() ? std::int64_t{0} : listed->second;
    };
    // An id that is no transaction id names no transaction, and one mined outside the bounds is not
    // asked for; one that cannot be fetched may carry the very record the caller looks for.
    std::vector<std::size_t> wanted;
    for (std::size_t i = 0; i < txids.size(); ++i) {
        if (!is_txid_hex(txids[i])) continue;
        const std::int64_t height = height_of(txids[i]);
        if (height > 0 && height < bounds.min_height) continue;
        if (height > 0 && bounds.mined_by > 0 && height > bounds.mined_by) continue;
        wanted.push_back(i);
    }
    // Oldest block first, unconfirmed and unplaced ids last, so a search can stop at the block of
    // its first find.
    if (bounds.enough) {
        std::stable_sort(wanted.begin(), wanted.end(), [&](std::size_t a, std::size_t b) {
            const std::int64_t ha = height_of(txids[a]);
            const std::int64_t hb = height_of(txids[b]);
            if ((ha > 0) != (hb > 0)) return ha > 0;
            return ha < hb;
        });
    }
    bool all_read = true;
    bool learned = false;
    std::int64_t found_at = 0; // block of the first accepted record; -1 when it was unconfirmed
    const std::string key = memory_key(watch_key);
    const std::shared_ptr<std::mutex> one_at_a_time = fetch_lock(key);
    std::unique_lock<std::mutex> fetching(*one_at_a_time);
    std::size_t next = 0;
    while (next < wanted.size()) {
        // Without a search every wanted id is one round; with one, a round at a time.
        const std::size_t round_size = next == 0 ? kScanFirstRound : kScanRound;
        std::size_t end = bounds.enough ? std::min(wanted.size(), next + round_size) : wanted.size();
        std::vector<json> txs;
        std::vector<bool> kept;
        std::vector<std::string> missing;
        {
            std::lock_guard<std::mutex> lock(g_memory_mutex);
            WatchMemory& memory = memory_of(key);
            for (std::size_t k = next; k < end; ++k) {
                const std::string& txid = txids[wanted[k]];
                const std::int64_t height = height_of(txid);
                if (found_at != 0 && (found_at < 0 || height <= 0 || height > found_at)) {
                    end = k;
                    break;
                }
                const auto known = memory.txs.find(txid);
                const bool at_hand = height > 0 && known != memory.txs.end() && known->second.height == height;
                txs.push_back(at_hand ? known->second.tx : json());
                kept.push_back(at_hand);
                if (!at_hand) missing.push_back(txid);
            }
        }
        if (txs.empty()) break;
        // The watch lists every payment to it, strangers' too: what was not read before is read in
        // bulk, and one by one only where the bulk reply had no copy.
        std::vector<json> bulk;
        woc_bulk_tx_json(missing, bulk);
        std::size_t next_bulk = 0;
        std::map<std::string, KeptTx> read_now;
        for (std::size_t k = 0; k < txs.size(); ++k) {
            const std::size_t i = wanted[next + k];
            const std::string& txid = txids[i];
            if (!kept[k]) {
                txs[k] = std::move(bulk[next_bulk++]);
                if (txs[k].is_null() && !fetch_tx_json(txid, txs[k])) {
                    all_read = false;
                    continue;
                }
            }
            WatchRecord record;
            const bool counts = record_of_tx(txid, static_cast<std::int64_t>(i), txs[k], record);
            if (!kept[k] && height_of(txid) > 0) read_now[txid] = {height_of(txid), counts ? record.tx : json()};
            if (!counts) continue;
            if (bounds.enough && found_at == 0 && bounds.enough(record)) {
                const std::int64_t height = height_of(record.txid);
                found_at = height > 0 ? height : -1;
            }
            records.push_back(std::move(record));
        }
        if (!read_now.empty()) {
            std::lock_guard<std::mutex> lock(g_memory_mutex);
            WatchMemory& memory = memory_of(key);
            if (memory.txs.size() + read_now.size() > kKeptTxsLimit) memory.txs.clear();
            for (auto& [txid, entry] : read_now)
                memory.txs[txid] = std::move(entry);
            learned = true;
        }
        next = end;
    }
    fetching.unlock();
    if (learned) save_memory(key);
    sort_watch_records(records);
    if (!all_read) error = kWatchRecordsUnread;
    return all_read;
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
