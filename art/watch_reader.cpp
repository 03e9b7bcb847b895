#include "art/watch_reader.h"

#include "art/watch_kept.h"
#include "art/watch_lists.h"
#include "chain/outpoints.h"
#include "chain/woc_client.h"
#include "wallet/clock.h"
#include "wallet/codecs.h"
#include "wallet/http_client.h"
#include "wallet/json_util.h"
#include "wallet/settings.h"

#include <algorithm>
#include <iterator>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <unordered_set>

using json = nlohmann::json;

namespace {

// Ids fetched at once while a bounded read looks for its first record: one bulk request first
// (the record sought is often the first listed in its block), then four side by side.
constexpr std::size_t kScanFirstRound = 20;
constexpr std::size_t kScanRound = 80;
// Payments waiting in the mempool kept in memory per watch, read once until they are mined.
constexpr std::size_t kWaitingLimit = 20000;
// Transactions a bulk request reads (woc_bulk_tx_json).
constexpr std::size_t kBulkTxs = 20;
// Blocks a read stopped inside whose ids are remembered per watch.
constexpr std::size_t kBareBlocksLimit = 64;

// What is known of a watch at one service: what is kept on disk, and the payments waiting in the
// mempool this process read (null where one carries no record).
struct WatchMemory {
    std::mutex mutex;
    WatchKept kept;
    std::unordered_map<std::string, json> waiting;
    std::int64_t note_version = 0;
    // Mined ids that carry no record, read by a read its budget stopped inside their block, until
    // the block counts as read whole.
    std::map<std::int64_t, std::unordered_set<std::string>> bare;
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
    // The scope whose request budget the read draws on (null: none), what it took, and where the
    // budget stopped it: the first block not read whole (0: none), or the mempool.
    WatchListings* budget = nullptr;
    std::size_t taken = 0;
    std::int64_t cut_at = 0;
    bool cut_waiting = false;
    std::map<std::int64_t, std::vector<std::string>> bare_seen; // with a budget: mined ids without a record

    WatchScan(const WatchScanBounds& b, WatchMemory& m, std::vector<WatchRecord>& r)
        : bounds(b), memory(m), records(r) {}

    // Whether one more request may go out.
    bool request() {
        if (!budget) return true;
        if (taken >= kWatchScanRequestShare || !scope_take_request(*budget)) return false;
        ++taken;
        return true;
    }
    void cut(std::int64_t height) {
        if (height <= 0)
            cut_waiting = true;
        else
            cut_at = cut_at > 0 ? std::min(cut_at, height) : height;
    }
    bool stopped() const { return cut_at > 0 || cut_waiting; }

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
    void examine(std::vector<WatchRow> rows) {
        std::vector<WatchRow> wanted;
        for (WatchRow& row : rows) {
            row.txid = to_lower_copy(row.txid);
            if (!is_txid_hex(row.txid) || !in_bounds(row.height)) continue;
            if (row.height > 0) listed_mined[row.txid] = row.height;
            if (seen.insert(row.txid).second) wanted.push_back(std::move(row));
        }
        std::stable_sort(wanted.begin(), wanted.end(), [](const WatchRow& a, const WatchRow& b) {
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
                // A search that finds what it seeks at hand reads nothing past its block: the
                // strangers' payments listed after it are not fetched for it.
                std::int64_t at_hand_find = 0;
                for (std::size_t k = next; k < end; ++k) {
                    const WatchRow& row = wanted[k];
                    const bool past_at_hand =
                        at_hand_find != 0 && (at_hand_find < 0 || row.height <= 0 || row.height > at_hand_find);
                    if (past(row.height) || past_at_hand) {
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
                    // A block read whole before carries no record but those kept, whatever block
                    // this read started from; nor does an id read before in a block not yet whole.
                    if (!known && row.height > 0 && !bounds.fresh) {
                        const auto bare = memory.bare.find(row.height);
                        known = kept_covered_to(memory.kept, row.height) >= row.height ||
                                (bare != memory.bare.end() && bare->second.count(row.txid) > 0);
                    }
                    WatchRecord record;
                    if (known && bounds.enough && found_at == 0 && at_hand_find == 0 && !tx.is_null() &&
                        watch_record_of_tx(row.txid, 0, tx, record) && bounds.enough(record))
                        at_hand_find = row.height > 0 ? row.height : -1;
                    txs.push_back(known ? std::move(tx) : json());
                    at_hand.push_back(known ? 1 : 0);
                    if (!known) missing.push_back(row.txid);
                }
            }
            if (txs.empty()) break;
            // With a budget, what its requests cannot fetch is left for the next read.
            std::size_t granted = 0;
            while (granted * kBulkTxs < missing.size() && request())
                ++granted;
            if (granted * kBulkTxs < missing.size()) {
                std::size_t fetched = 0, k = 0;
                for (; k < txs.size(); ++k)
                    if (!at_hand[k] && ++fetched > granted * kBulkTxs) break;
                cut(wanted[next + k].height);
                end = next + k;
                txs.resize(k);
                at_hand.resize(k);
                missing.resize(granted * kBulkTxs);
                if (txs.empty()) break;
            }
            // The watch lists every payment to it, strangers' too: what is not at hand is read in
            // bulk, and one by one only where the bulk reply had no copy.
            std::vector<json> bulk;
            woc_bulk_tx_json(missing, bulk);
            std::size_t next_bulk = 0;
            for (std::size_t k = 0; k < txs.size(); ++k) {
                const WatchRow& row = wanted[next + k];
                if (!at_hand[k]) {
                    txs[k] = std::move(bulk[next_bulk++]);
                    if (txs[k].is_null() && !request()) {
                        cut(row.height);
                        continue;
                    }
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
            if (stopped()) break;
        }
    }

    // Keeps what a fetch read: a mined record for the file, a waiting payment for this process.
    void learn(const WatchRow& row, const json& tx) {
        WatchRecord record;
        const bool counts = watch_record_of_tx(row.txid, 0, tx, record);
        std::lock_guard<std::mutex> lock(memory.mutex);
        if (row.height > 0) {
            if (counts) learned[row.txid] = {row.height, 0, tx.dump(-1, ' ', false, json::error_handler_t::replace)};
            if (!counts && budget) bare_seen[row.height].push_back(row.txid);
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
std::vector<WatchRow> kept_rows(WatchMemory& memory, std::int64_t from, std::int64_t to) {
    std::vector<std::pair<std::pair<std::int64_t, std::int64_t>, std::string>> found;
    {
        std::lock_guard<std::mutex> lock(memory.mutex);
        for (const auto& [txid, record] : memory.kept.records)
            if (record.height >= from && record.height <= to) found.push_back({{record.height, record.seq}, txid});
    }
    std::sort(found.begin(), found.end());
    std::vector<WatchRow> rows;
    for (auto& [place, txid] : found)
        rows.push_back({std::move(txid), place.first});
    return rows;
}

} // namespace

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
    const std::int64_t start = std::max<std::int64_t>(0, bounds.min_height);
    WatchListings* const scope = bounds.fresh ? nullptr : watch_listings_in_use();
    WatchListings* const budget = scope && scope_bounded(*scope) ? scope : nullptr;
    const std::shared_ptr<std::mutex> one_at_a_time = read_lock(key);
    std::lock_guard<std::mutex> reading(*one_at_a_time);
    // A read its scope's budget stopped goes on at the next scope, not again in this one.
    if (budget && scope_read_cut(*budget, key, start)) {
        error = kWatchReadCut;
        return false;
    }
    const std::shared_ptr<WatchMemory> memory = memory_of(key);
    WatchScan scan(bounds, *memory, records);
    scan.budget = budget;

    // The blocks read whole before are taken as kept, unless the caller wants them listed afresh.
    std::int64_t covered_to = start - 1;
    std::vector<KeptRange> later; // ranges read whole past the first block listed
    if (!bounds.fresh) {
        std::lock_guard<std::mutex> lock(memory->mutex);
        covered_to = kept_covered_to(memory->kept, start);
        for (const KeptRange& range : memory->kept.ranges)
            if (range.from > covered_to + 1 && (bounds.mined_by <= 0 || range.from <= bounds.mined_by))
                later.push_back(range);
    }
    if (bounds.mined_by > 0) covered_to = std::min(covered_to, bounds.mined_by);
    if (covered_to >= start) scan.examine(kept_rows(*memory, start, covered_to));

    bool confirmed_whole = scan.found_at > 0 || (bounds.mined_by > 0 && covered_to >= bounds.mined_by);
    bool answered = true, confirmed_failed = false;
    std::int64_t read_to = covered_to; // the last block this read saw whole
    const std::int64_t from = covered_to + 1;
    std::shared_ptr<WatchTail> tail;
    if (!confirmed_whole && scope && later.empty()) tail = scope_tail(*scope, key, watch_address, from);
    if (!confirmed_whole) {
        std::int64_t highest = covered_to;
        bool ascending = true;
        // The listing leaps over each later range: what it holds is kept, strangers' payments in it
        // are not listed again.
        std::size_t next_range = 0;
        std::int64_t segment_from = from;
        std::int64_t segment_last = covered_to; // the highest block this segment listed
        bool leap = false;
        const auto page = [&](std::vector<WatchRow>& rows) {
            std::vector<WatchRow> mine;
            for (WatchRow& row : rows) {
                // A service that ignores the starting block lists older ones too.
                if (row.height < segment_from) continue;
                // What the range holds is at hand; the page is read whole, so what it lists past the
                // range serves the reads after this one too.
                if (next_range < later.size() && row.height >= later[next_range].from) leap = true;
                ascending = ascending && row.height >= segment_last;
                segment_last = std::max(segment_last, row.height);
                highest = std::max(highest, row.height);
                mine.push_back(std::move(row));
            }
            scan.examine(std::move(mine));
            // Listed in block order, nothing later can stand before the find or inside the bounds.
            const bool done = ascending && ((scan.found_at > 0 && highest > scan.found_at) ||
                                            (bounds.mined_by > 0 && highest > bounds.mined_by) || leap);
            if (done || scan.stopped()) return false;
            // The block of the page's last row may go on in the next page.
            if (scan.request()) return true;
            scan.cut(std::max(segment_last, segment_from));
            return false;
        };
        ListEnd end = ListEnd::whole;
        for (;;) {
            leap = false;
            segment_last = segment_from - 1;
            if (!scan.request()) {
                scan.cut(segment_from);
                break;
            }
            ListEnd segment = ListEnd::failed;
            if (tail) {
                std::size_t at = 0;
                std::vector<WatchRow> rows;
                for (;;) {
                    const bool more = tail_rows(*tail, segment_from, at, rows, segment);
                    if (more && !page(rows)) {
                        segment = ListEnd::whole;
                        break;
                    }
                    if (!more) break;
                }
            } else {
                segment = read_history(confirmed_url(watch_address, segment_from), false, page);
            }
            if (segment != ListEnd::whole) {
                end = segment;
                break;
            }
            if (!leap || !ascending || scan.stopped() || scan.found_at > 0) break;
            const KeptRange range = later[next_range++];
            scan.examine(kept_rows(*memory, range.from, range.to));
            highest = std::max(highest, range.to);
            segment_from = range.to + 1;
            while (next_range < later.size() && later[next_range].to < segment_from)
                ++next_range;
            if (scan.found_at > 0 || (bounds.mined_by > 0 && range.to >= bounds.mined_by)) break;
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
        if (scan.cut_at > 0) read_to = std::min(read_to, scan.cut_at - 1);
    }

    // The mempool matters while no mined record ended the search.
    bool waiting_whole = true;
    if (scan.found_at <= 0 && !scan.stopped() && !scan.request()) scan.cut(0);
    if (scan.found_at <= 0 && !scan.stopped()) {
        std::vector<WatchRow> rows;
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
        std::vector<WatchRow> rows;
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
        // Where the budget stopped inside a block, the ids read there are not fetched again; a
        // block read whole needs them no more.
        const auto stopped_in = scan.bare_seen.find(scan.cut_at);
        if (stopped_in != scan.bare_seen.end())
            memory->bare[scan.cut_at].insert(stopped_in->second.begin(), stopped_in->second.end());
        for (auto it = memory->bare.begin(); it != memory->bare.end();)
            it = kept_covered_to(kept, it->first) >= it->first ? memory->bare.erase(it) : std::next(it);
        while (memory->bare.size() > kBareBlocksLimit)
            memory->bare.erase(memory->bare.begin());
        if (changed) kept_save(key, kept);
    }
    sort_watch_records(records);
    // A find past where the budget stopped may not be the first: the read goes on at the next scope.
    const bool found_before_cut = scan.found_at > 0 && (scan.cut_at == 0 || scan.found_at < scan.cut_at);
    if (budget && scan.stopped() && !found_before_cut) {
        scope_mark_cut(*budget, key, start);
        error = kWatchReadCut;
        return false;
    }
    // A read that found what it sought cost what any read of it costs, not the budget.
    if (budget && scan.found_at != 0) scope_give_back(*budget, scan.taken);
    if (whole) *whole = confirmed_whole && (scan.found_at > 0 || waiting_whole);
    if (!scan.all_read) error = kWatchRecordsUnread;
    return scan.all_read;
}
