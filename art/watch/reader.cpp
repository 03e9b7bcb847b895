#include "art/watch/reader.h"

#include "art/watch/kept.h"
#include "art/watch/lists.h"
#include "art/watch/record_checks.h"
#include "art/watch/scan.h"
#include "art/watch/window.h"
#include "chain/outpoints.h"
#include "chain/woc_client.h"
#include "wallet/clock.h"
#include "wallet/codecs.h"
#include "wallet/http_client.h"
#include "wallet/json_util.h"
#include "wallet/settings.h"

#include <algorithm>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <vector>

using json = nlohmann::json;

namespace {

std::mutex g_memory_mutex;
std::map<std::string, std::shared_ptr<WatchMemory>> g_memories;
// The newest block any listing of this process showed, by service: the history index is one for
// every address, so a block it listed anywhere is a block it has reached.
std::map<std::string, std::int64_t> g_listed_newest;
// Reads of one watch go one after another, so what one read keeps the next finds rather than
// reads again; each watch's lock, made once, lives as long as the program.
std::map<std::string, std::shared_ptr<std::mutex>> g_read_locks;

std::string memory_key(const std::string& watch_key) {
    return service_key(watch_key);
}

std::shared_ptr<std::mutex> read_lock(const std::string& key) {
    std::lock_guard<std::mutex> lock(g_memory_mutex);
    std::shared_ptr<std::mutex>& slot = g_read_locks[key];
    if (!slot) slot = std::make_shared<std::mutex>();
    return slot;
}

// The memory of a watch, read from its files the first time.
std::shared_ptr<WatchMemory> memory_of(const std::string& key) {
    std::shared_ptr<WatchMemory> memory;
    {
        std::lock_guard<std::mutex> lock(g_memory_mutex);
        std::shared_ptr<WatchMemory>& slot = g_memories[key];
        if (slot) return slot;
        slot = memory = std::make_shared<WatchMemory>();
        // Loaded under its own lock, taken before the map's is let go, so no reader sees it empty.
        memory->mutex.lock();
    }
    kept_load(key, memory->kept);
    for (const auto& [txid, height] : memory->kept.no_record)
        memory->no_record.add(txid);
    memory->mutex.unlock();
    return memory;
}

// Examines what was kept of the blocks from `start` on that were read whole before, unless the
// read lists them afresh; the last of those blocks, start - 1 when there are none.
std::int64_t read_kept_part(WatchScan& scan, std::int64_t start) {
    if (scan.bounds.fresh) return start - 1;
    std::int64_t covered_to = 0;
    {
        std::lock_guard<std::mutex> lock(scan.memory.mutex);
        covered_to = std::min(kept_covered_to(scan.memory.kept, start), kHeightLimit);
    }
    if (covered_to < start) return covered_to;
    // Blocks near the tip may still change, whatever an older or damaged file says of them.
    scan.tip_wait();
    if (scan.tip > 0) covered_to = std::min(covered_to, std::max(start - 1, scan.final_block()));
    if (scan.bounds.mined_by > 0) covered_to = std::min(covered_to, scan.bounds.mined_by);
    if (covered_to >= start) scan.examine(kept_rows(scan.memory, start, covered_to));
    return covered_to;
}

// How the listing of the mined blocks went, the last block it saw whole, and what it listed of
// the blocks that can still change.
struct MinedPart {
    ListEnd end = ListEnd::whole;
    std::int64_t read_to = 0;
    std::shared_ptr<WatchTail> tail; // the gallery read's shared listing it took part in
    ListedWindow newest;             // the blocks past the last final one
    ListedWindow span;               // from the listing's first block, when it could be summed
};

// The ranges read whole before that start past block `from`, within the bounds and among the
// blocks that can no longer change, oldest first; none for a read that lists afresh.
std::vector<KeptRange> later_ranges(WatchScan& scan, std::int64_t from) {
    std::vector<KeptRange> later;
    if (scan.bounds.fresh) return later;
    {
        std::lock_guard<std::mutex> lock(scan.memory.mutex);
        for (const KeptRange& range : scan.memory.kept.ranges)
            if (range.from > from && (scan.bounds.mined_by <= 0 || range.from <= scan.bounds.mined_by))
                later.push_back(range);
    }
    if (later.empty()) return later;
    scan.tip_wait();
    const std::int64_t final_to = scan.tip > 0 ? scan.final_block() : kHeightLimit;
    later.erase(
        std::remove_if(later.begin(), later.end(), [final_to](const KeptRange& r) { return r.from > final_to; }),
        later.end());
    for (KeptRange& range : later)
        range.to = std::min(range.to, final_to);
    std::sort(later.begin(), later.end(), [](const KeptRange& a, const KeptRange& b) { return a.from < b.from; });
    return later;
}

// The listing of the watch's mined blocks from one block on, in segments between the ranges read
// whole before: where it stands, and what it holds of a kept window while it passes it.
struct MinedListing {
    WatchScan& scan;
    std::vector<KeptRange> later; // the ranges it leaps over, oldest first
    std::size_t next_range = 0;
    std::int64_t segment_from = 0;
    std::int64_t segment_last = 0; // the highest block this segment listed
    std::int64_t highest = 0;
    ListOrder order;
    bool stopped = false, leap = false;
    BufferedWindow buffered;
    WindowTally tally;
    std::int64_t tally_from = 0; // the tally holds the rows listed from this block on
    // A shared listing takes a request of the budget only when it asks the service for a page; a
    // list of its own takes the next page's before it is known to be wanted (`prepaid`).
    bool shared = false, prepaid = false;

    MinedListing(WatchScan& s, std::int64_t from)
        : scan(s), later(later_ranges(s, from)), segment_from(from), segment_last(from - 1), highest(from - 1),
          buffered(buffer_window(s, from)), tally_from(from) {}

    // Examines one page as it comes; false once the reader has what it needs, or the budget ends.
    bool page(std::vector<WatchRow>& rows);
    // Lists one segment, through the shared listing when there is one.
    void list_segment(MinedPart& part, const std::string& address);
    // Leaps over the next range read whole: the buffered rows go first, listed short of their window's
    // end, then what the range holds; false when the read ends there.
    bool leap_range();
    // Gives the buffered rows back, and notes how far the listing saw and the windows it listed.
    void finish(std::int64_t from, MinedPart& part);
};

bool MinedListing::page(std::vector<WatchRow>& rows) {
    prepaid = false;
    std::vector<WatchRow> mine;
    for (WatchRow& row : rows) {
        scan.place(row);
        // A row listed past where the chain route has got stands in no block it shows yet: it is
        // read as waiting, as the mempool's rows are, never dropped as older than the segment.
        if (row.height <= 0) {
            mine.push_back(std::move(row));
            continue;
        }
        order.see(row.height, segment_from);
        // A service that ignores the starting block lists older ones too.
        if (row.height < segment_from) continue;
        // What the range holds is at hand; the page is read whole, so what it lists past the
        // range serves the reads after this one too.
        if (next_range < later.size() && row.height >= later[next_range].from) leap = true;
        segment_last = std::max(segment_last, row.height);
        highest = std::max(highest, row.height);
        tally.add(row.height, row.txid);
        if (buffered.open && row.height >= buffered.kept.from && row.height <= buffered.kept.to) {
            buffer_row(scan, buffered, std::move(row), order.ascending, mine);
            continue;
        }
        mine.push_back(std::move(row));
    }
    if (order.ascending && highest > buffered.kept.to) release_window(scan, buffered, true, mine);
    scan.examine(std::move(mine));
    // In block order nothing later stands before the find or inside the bounds, and a range
    // read whole is leapt over; newest first, nothing later stands in the blocks asked for.
    const WatchScanBounds& bounds = scan.bounds;
    stopped = order.read_back() ||
              (order.ascending && ((scan.found_at > 0 && highest > scan.found_at) ||
                                   (bounds.mined_by > 0 && highest > bounds.mined_by) || leap)) ||
              scan.stopped();
    if (stopped) return false;
    // The block of the page's last row may go on in the next page.
    if (shared) return true;
    if (scan.request()) return prepaid = true;
    scan.cut(std::max(segment_last, segment_from));
    stopped = true;
    return false;
}

void MinedListing::list_segment(MinedPart& part, const std::string& address) {
    leap = stopped = false;
    order = ListOrder{};
    segment_last = segment_from - 1;
    if (!shared && !scan.request()) {
        scan.cut(segment_from);
        stopped = true;
        part.end = ListEnd::whole;
        return;
    }
    const auto on_page = [this](std::vector<WatchRow>& rows) { return page(rows); };
    if (part.tail) {
        std::size_t at = 0;
        std::vector<WatchRow> rows;
        bool refused = false;
        const std::function<bool()> take = [this] { return scan.request(); };
        while (tail_rows(*part.tail, segment_from, at, rows, part.end, take, refused) && page(rows)) {
        }
        if (refused && !stopped) {
            scan.cut(std::max(segment_last, segment_from));
            stopped = true;
        }
        if (stopped) part.end = ListEnd::whole;
    } else {
        part.end = read_history(confirmed_url(address, segment_from), false, on_page);
        if (prepaid) scan.give_back(1);
        prepaid = false;
    }
}

bool MinedListing::leap_range() {
    std::vector<WatchRow> rest;
    release_window(scan, buffered, false, rest);
    scan.examine(std::move(rest));
    if (scan.stopped()) return false;
    const KeptRange range = later[next_range++];
    scan.examine(kept_rows(scan.memory, range.from, range.to));
    highest = std::max(highest, range.to);
    segment_from = range.to + 1;
    while (next_range < later.size() && later[next_range].to < segment_from)
        ++next_range;
    // What the page listed past the range is listed again after it: the tally starts there.
    tally = WindowTally{};
    tally_from = segment_from;
    const WatchScanBounds& bounds = scan.bounds;
    return scan.found_at <= 0 && !(bounds.mined_by > 0 && range.to >= bounds.mined_by);
}

void MinedListing::finish(std::int64_t from, MinedPart& part) {
    scan.tip_wait();
    std::vector<WatchRow> rest;
    release_window(scan, buffered, part.end == ListEnd::whole, rest);
    scan.examine(std::move(rest));
    // A list read to its end, or back past the blocks asked for, saw every block it shows; only
    // those some blocks below the newest it shows can no longer change.
    const std::int64_t final_to = scan.final_listed();
    const bool to_end = part.end == ListEnd::whole && (!stopped || order.read_back());
    const std::int64_t seen_to = to_end ? std::max(highest, final_to) : highest;
    const WatchScanBounds& bounds = scan.bounds;
    if (scan.found_at > 0)
        part.read_to = scan.found_at;
    else
        part.read_to = bounds.mined_by > 0 ? std::min(seen_to, bounds.mined_by) : seen_to;
    // Where the budget stopped the read, the blocks from there on are read again.
    if (scan.cut_at > 0) part.read_to = std::min(part.read_to, scan.cut_at - 1);
    if (scan.tip > 0) {
        tally.sum(std::max(final_to + 1, tally_from), part.read_to, part.newest);
        if (tally_from == from) tally.sum(from, part.read_to, part.span);
    }
}

// Lists the watch's mined blocks from `from` on, through the gallery read's shared listing when
// one is in use, each page examined as it comes, and no further than the bounds, the find or the
// budget need. The listing leaps over each range read whole before: what it holds is kept, and the
// strangers' payments in it are not listed again.
MinedPart read_mined_part(WatchScan& scan, const std::string& key, const std::string& address, std::int64_t from) {
    MinedListing listing(scan, from);
    MinedPart part;
    WatchListings* listings = watch_listings_in_use();
    if (listings && !scan.bounds.fresh && listing.later.empty()) part.tail = scope_tail(*listings, key, address, from);
    listing.shared = part.tail != nullptr;
    for (;;) {
        listing.list_segment(part, address);
        if (part.end != ListEnd::whole || !listing.leap || !listing.order.ascending || scan.stopped() ||
            scan.found_at > 0)
            break;
        if (!listing.leap_range()) break;
    }
    listing.finish(from, part);
    return part;
}

// Lists the payments waiting in the mempool, through the shared listing the mined part took part
// in if any, and examines them; how the list ended.
ListEnd read_waiting_part(WatchScan& scan, const std::shared_ptr<WatchTail>& tail, const std::string& address) {
    std::vector<WatchRow> rows;
    bool refused = false;
    ListEnd end = ListEnd::cut;
    if (tail)
        end = tail_waiting(
            *tail, address, rows, [&scan] { return scan.request(); }, refused);
    else if (scan.request())
        end = read_waiting(address, rows);
    else
        refused = true;
    if (refused) {
        scan.cut(0);
        return ListEnd::cut;
    }
    scan.examine(std::move(rows));
    return end;
}

// Keeps what the read learned: the records it fetched, the blocks from `start` to `read_to` that
// can no longer change as read whole, and the windows it listed. A read that listed from..read_to
// whole forgets a kept record the listing no longer shows in its block there (moved by a
// reorganisation, or gone).
void keep_what_was_read(WatchScan& scan, const std::string& key, std::int64_t start, std::int64_t from,
                        std::int64_t read_to, bool listed_whole, const MinedPart& mined) {
    scan.tip_wait();
    std::lock_guard<std::mutex> lock(scan.memory.mutex);
    WatchKept& kept = scan.memory.kept;
    bool changed = false;
    const bool whole = listed_whole && scan.all_read && read_to >= start;
    for (auto it = kept.records.begin(); whole && it != kept.records.end();) {
        const auto listed = scan.listed_kept.find(it->first);
        const bool gone = it->second.height >= from && it->second.height <= read_to && !scan.learned.count(it->first) &&
                          (listed == scan.listed_kept.end() || listed->second != it->second.height);
        if (!gone) {
            ++it;
            continue;
        }
        kept.dropped.insert(it->first);
        it = kept.records.erase(it);
        changed = true;
    }
    for (auto& [txid, record] : scan.learned) {
        record.seq = kept.next_seq++;
        kept.records[txid] = std::move(record);
        changed = true;
    }
    const std::int64_t final_to = std::min(read_to, scan.final_listed());
    if (whole && final_to >= start && kept_covered_to(kept, start) < final_to) {
        kept_add_range(kept, start, final_to);
        changed = true;
    }
    if (whole && keep_windows(scan.memory, mined.newest, from == start ? mined.span : ListedWindow{})) changed = true;
    // What a read its bound stopped learned of the blocks it had not read whole is kept too, so
    // the next start goes on past it. An id fixes its transaction's content: it carries no record
    // in whatever block. A read that ends leaves what it listed to the ranges and windows.
    const std::size_t none_before = kept.no_record.size();
    for (const auto& [txid, height] : scan.learned_none)
        if (scan.stopped() && kept_covered_to(kept, height) < height) kept.no_record[txid] = height;
    if (kept.no_record.size() != none_before) changed = true;
    if (changed) kept_bound_no_record(kept);
    if (changed) kept_save(key, kept);
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

std::int64_t watch_chain_tip() {
    return listed_tip();
}

bool watch_block_final(std::int64_t height) {
    const std::int64_t tip = listed_tip();
    return height > 0 && tip > kFinalDepth && height <= tip - kFinalDepth;
}

bool watch_block_final_listed(const std::string& watch_key, std::int64_t height) {
    if (height <= 0) return false;
    const std::shared_ptr<WatchMemory> memory = memory_of(memory_key(watch_key));
    {
        std::lock_guard<std::mutex> lock(memory->mutex);
        if (kept_covered_to(memory->kept, height) >= height) return true;
    }
    std::int64_t newest = 0;
    {
        std::lock_guard<std::mutex> lock(g_memory_mutex);
        const auto it = g_listed_newest.find(service_settings().woc_base);
        newest = it == g_listed_newest.end() ? 0 : it->second;
    }
    newest = std::min(newest, listed_tip());
    return newest > kFinalDepth && height <= newest - kFinalDepth;
}

void watch_memory_forget() {
    {
        std::lock_guard<std::mutex> lock(g_memory_mutex);
        g_memories.clear();
        g_listed_newest.clear();
    }
    listed_tips_forget();
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
    const std::int64_t start = std::min(std::max<std::int64_t>(0, bounds.min_height), kHeightLimit);
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
    scan.began_ms = clock_system_ms();
    scan.tip_read = std::async(std::launch::async, [] { return listed_tip(); });

    const std::int64_t covered_to = read_kept_part(scan, start);
    const std::int64_t from = covered_to + 1;
    MinedPart mined;
    mined.read_to = covered_to;
    if (scan.found_at <= 0 && !(bounds.mined_by > 0 && covered_to >= bounds.mined_by))
        mined = read_mined_part(scan, key, watch_address, from);
    // The mempool matters while no mined record ended the search and the bounds reach past the
    // mined blocks; with a budget, listing it takes a request.
    const bool waiting_matters = scan.found_at <= 0 && bounds.mined_by <= 0;
    ListEnd waiting = ListEnd::whole;
    if (waiting_matters) waiting = scan.stopped() ? ListEnd::cut : read_waiting_part(scan, mined.tail, watch_address);
    // A read of the whole watch takes the oracle index's ids too (it indexes records that paid
    // another watch), and stands on it while WhatsOnChain's history cannot be read; they carry no
    // block, and it never makes a read whole. A bounded read never widens itself to them.
    const bool unbounded = bounds.min_height <= 0 && bounds.mined_by <= 0 && !bounds.enough;
    bool oracle_answered = false;
    if (unbounded) {
        UniqueIds ids;
        oracle_answered = read_oracle_pages(watch_key, ids) != ListEnd::failed;
        std::vector<WatchRow> rows;
        for (const std::string& id : ids.ids)
            rows.push_back({id, 0});
        scan.examine(std::move(rows));
    }
    const bool answered = mined.end != ListEnd::failed || (unbounded && waiting != ListEnd::failed);
    if (!answered && (!unbounded || (!oracle_answered && records.empty()))) {
        error = unbounded ? "OI " + watch_key + " missed and WhatsOnChain missed"
                          : std::string("the registry's listing could not be read. ") + try_again_text();
        return false;
    }
    keep_what_was_read(scan, key, start, from, mined.read_to, mined.end == ListEnd::whole, mined);
    if (scan.tip > 0) {
        std::lock_guard<std::mutex> lock(g_memory_mutex);
        std::int64_t& newest = g_listed_newest[service_settings().woc_base];
        newest = std::max(newest, std::min(scan.listed_newest, scan.tip));
    }
    sort_watch_records(records);
    // A find past where the budget stopped may not be the first: the read goes on at the next scope.
    const bool found_before_cut = scan.found_at > 0 && (scan.cut_at == 0 || scan.found_at < scan.cut_at);
    const bool cut = scan.stopped() && !found_before_cut;
    // A read that found what it sought cost what any read of it costs, not the budget; a first
    // look costs its own small share.
    const bool first_look = budget && scope_first_looking(*budget);
    if (budget && (first_look || (!cut && scan.found_at != 0))) scan.give_back(scan.taken);
    if (budget && cut) {
        if (!first_look) scope_mark_cut(*budget, key, start);
        error = kWatchReadCut;
        return false;
    }
    if (whole) *whole = mined.end == ListEnd::whole && (scan.found_at > 0 || waiting == ListEnd::whole);
    if (!scan.all_read) error = kWatchRecordsUnread;
    return scan.all_read;
}

namespace {

constexpr std::int32_t kOracleTxTimeoutS = 6;
constexpr std::int32_t kWocTxTimeoutS = 12;

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
