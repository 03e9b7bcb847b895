#include "art/watch/scan.h"

#include "art/watch/record_checks.h"
#include "chain/outpoints.h"
#include "chain/woc_client.h"
#include "wallet/codecs.h"
#include "wallet/json_util.h"

#include <algorithm>

using json = nlohmann::json;

namespace {

// Ids fetched at once while a bounded read looks for its first record: one bulk request first
// (the record sought is often the first listed in its block), then four side by side.
constexpr std::size_t kScanFirstRound = 20;
constexpr std::size_t kScanRound = 80;
// Records waiting in the mempool kept in memory per watch, read once until they are mined.
constexpr std::size_t kWaitingLimit = 20000;
// Ids known to carry no record, per watch: sixteen bytes each, gathered in a small set and merged
// into the sorted list when it fills.
constexpr std::size_t kNoRecordLimit = 1000000;
constexpr std::size_t kNoRecordRecent = 65536;

std::string tx_text(const json& tx) {
    return tx.dump(-1, ' ', false, json::error_handler_t::replace);
}

// A record's block is the one its listing shows: a service's transaction index may lag its
// history, giving a copy without a block, or name another.
void place_copy(std::int64_t listed, json& tx) {
    if (listed > 0 && tx.is_object()) tx["blockheight"] = listed;
}

} // namespace

std::uint64_t hex_u64(const std::string& text, std::size_t at) {
    std::uint64_t value = 0;
    for (std::size_t i = at; i < at + 16 && i < text.size(); ++i) {
        const char c = text[i];
        value = value << 4 | static_cast<std::uint64_t>(c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10);
    }
    return value;
}

bool NoRecordIds::has(const std::string& txid) const {
    const Key key{hex_u64(txid, 0), hex_u64(txid, 16)};
    return recent_.count(key) || std::binary_search(sorted_.begin(), sorted_.end(), key);
}

void NoRecordIds::add(const std::string& txid) {
    if (has(txid)) return;
    recent_.insert({hex_u64(txid, 0), hex_u64(txid, 16)});
    if (recent_.size() < kNoRecordRecent) return;
    if (sorted_.size() + recent_.size() > kNoRecordLimit) {
        clear();
        return;
    }
    std::vector<Key> merged;
    merged.reserve(sorted_.size() + recent_.size());
    std::merge(sorted_.begin(), sorted_.end(), recent_.begin(), recent_.end(), std::back_inserter(merged));
    sorted_ = std::move(merged);
    recent_.clear();
}

void NoRecordIds::clear() {
    sorted_.clear();
    sorted_.shrink_to_fit();
    recent_.clear();
}

bool WatchScan::past(std::int64_t height) const {
    return found_at != 0 && (found_at < 0 || height <= 0 || height > found_at);
}

bool WatchScan::in_bounds(std::int64_t height) const {
    return height <= 0 || (height >= bounds.min_height && (bounds.mined_by <= 0 || height <= bounds.mined_by));
}

// A block read whole before carries no record but those kept, whatever block this read started
// from; a fresh read lists and reads it again. The caller holds the memory's lock.
bool WatchScan::kept_whole(std::int64_t height) const {
    if (bounds.fresh || height <= 0 || (tip > 0 && height > final_block())) return false;
    return kept_covered_to(memory.kept, height) >= height;
}

bool WatchScan::request() {
    if (!budget) return true;
    const std::size_t share = scope_first_looking(*budget) ? kWatchFirstLookShare : kWatchScanRequestShare;
    if (taken >= share || !scope_take_request(*budget)) return false;
    ++taken;
    return true;
}

void WatchScan::give_back(std::size_t requests) {
    requests = std::min(requests, taken);
    if (!budget || requests == 0) return;
    taken -= requests;
    scope_give_back(*budget, requests);
}

void WatchScan::cut(std::int64_t height) {
    if (height <= 0)
        cut_waiting = true;
    else
        cut_at = cut_at > 0 ? std::min(cut_at, height) : height;
}

// The block a transaction's JSON names; 0 while it waits, or when it names one past the tip.
std::int64_t WatchScan::block_of(const json& tx) const {
    if (!tx.is_object()) return 0;
    const auto height = tx.find("blockheight");
    if (height == tx.end() || !height->is_number_integer()) return 0;
    std::uint64_t value = 0;
    if (height->is_number_unsigned())
        value = height->get<std::uint64_t>();
    else if (height->get<std::int64_t>() > 0)
        value = static_cast<std::uint64_t>(height->get<std::int64_t>());
    const std::uint64_t limit = static_cast<std::uint64_t>(tip > 0 ? tip + kTipLag : kHeightLimit);
    return value <= limit ? static_cast<std::int64_t>(value) : 0;
}

void WatchScan::place(WatchRow& row) {
    if (row.height <= 0) return;
    if (tip == 0 || row.height > tip) tip_wait();
    if ((tip == 0 || row.height > tip) && !tip_asked) {
        tip_asked = true;
        tip = std::max(tip, listed_tip(row.height));
    }
    if (tip > 0 && row.height > tip + kTipLag) {
        row.height = 0;
        row.past_tip = true;
        return;
    }
    listed_newest = std::max(listed_newest, row.height);
}

std::vector<WatchRow> WatchScan::wanted_rows(std::vector<WatchRow>& rows) {
    std::vector<WatchRow> wanted;
    {
        std::lock_guard<std::mutex> lock(memory.mutex);
        for (WatchRow& row : rows) {
            row.txid = to_lower_copy(row.txid);
            if (!is_txid_hex(row.txid)) continue;
            if (!in_bounds(row.height)) {
                if (row.height > bounds.mined_by && bounds.mined_by > 0 && spare_.size() < kWocBulkPerRequest &&
                    !memory.kept.records.count(row.txid) && !memory.no_record.has(row.txid))
                    spare_.push_back(row);
                continue;
            }
            if (row.height > 0 && memory.kept.records.count(row.txid)) listed_kept[row.txid] = row.height;
            // The history's cursor drops a page's repeats; what this read took already stays taken.
            if (!taken_.count(row.txid)) wanted.push_back(std::move(row));
        }
    }
    std::stable_sort(wanted.begin(), wanted.end(), [](const WatchRow& a, const WatchRow& b) {
        if ((a.height > 0) != (b.height > 0)) return a.height > 0;
        return a.height < b.height;
    });
    return wanted;
}

// The rows next..end that are at hand (kept, waiting, or known to carry no record: null), and the
// ids to fetch; returns where the round ends, earlier at the block of a find, or of a find at hand.
std::size_t WatchScan::round_at_hand(const std::vector<WatchRow>& wanted, std::size_t next, std::size_t end,
                                     std::vector<json>& txs, std::vector<char>& at_hand,
                                     std::vector<std::string>& missing) {
    std::lock_guard<std::mutex> lock(memory.mutex);
    // A search that finds what it seeks at hand reads nothing past its block: the strangers'
    // payments listed after it are not fetched for it.
    std::int64_t at_hand_find = 0;
    for (std::size_t k = next; k < end; ++k) {
        const WatchRow& row = wanted[k];
        const bool past_at_hand =
            at_hand_find != 0 && (at_hand_find < 0 || row.height <= 0 || row.height > at_hand_find);
        if (past(row.height) || past_at_hand) return k;
        json tx;
        bool known = false;
        const auto kept = memory.kept.records.find(row.txid);
        // An id listed without a block is the kept one wherever that stands.
        if (kept != memory.kept.records.end() && (kept->second.height == row.height || row.height == 0)) {
            tx = json_parse_or_discarded(kept->second.tx);
            known = !tx.is_discarded();
            if (known) place_copy(kept->second.height, tx);
        }
        const auto waiting = memory.waiting.find(row.txid);
        if (row.height > 0 && waiting != memory.waiting.end()) memory.waiting.erase(waiting);
        if (row.height == 0 && waiting != memory.waiting.end()) {
            tx = waiting->second;
            known = true;
        }
        if (!known && (kept_whole(row.height) || memory.no_record.has(row.txid))) {
            tx = json();
            known = true;
        }
        WatchRecord record;
        if (known && bounds.enough && found_at == 0 && at_hand_find == 0 && !tx.is_null() &&
            watch_record_of_tx(row.txid, 0, tx, record) && bounds.enough(record))
            at_hand_find = row.height > 0 ? row.height : -1;
        txs.push_back(known ? std::move(tx) : json());
        at_hand.push_back(known ? 1 : 0);
        if (!known) missing.push_back(row.txid);
    }
    return end;
}

void WatchScan::examine(std::vector<WatchRow> rows) {
    const std::vector<WatchRow> wanted = wanted_rows(rows);
    std::size_t next = 0;
    while (next < wanted.size()) {
        const std::size_t round = next == 0 ? kScanFirstRound : kScanRound;
        std::vector<json> txs;
        std::vector<char> at_hand;
        std::vector<std::string> missing;
        std::size_t end = round_at_hand(
            wanted, next, bounds.enough ? std::min(wanted.size(), next + round) : wanted.size(), txs, at_hand, missing);
        if (end == next) break;
        // With a budget, what its requests cannot fetch is left for the next read.
        std::size_t granted = 0;
        while (granted * kWocBulkPerRequest < missing.size() && request())
            ++granted;
        if (granted * kWocBulkPerRequest < missing.size()) {
            std::size_t fetched = 0, k = 0;
            for (; k < txs.size(); ++k)
                if (!at_hand[k] && ++fetched > granted * kWocBulkPerRequest) break;
            cut(wanted[next + k].height);
            end = next + k;
            txs.resize(k);
            at_hand.resize(k);
            missing.resize(granted * kWocBulkPerRequest);
            if (txs.empty()) break;
        }
        // The watch lists every payment to it, strangers' too: what is not known is read in bulk,
        // and one by one only where the bulk reply had no copy.
        // A bulk request with room fetches rows past the bounds too, for the reads after this one.
        std::vector<WatchRow> spare;
        while (!spare_.empty() && missing.size() % kWocBulkPerRequest != 0) {
            spare.push_back(std::move(spare_.back()));
            spare_.pop_back();
            missing.push_back(spare.back().txid);
        }
        std::vector<json> bulk;
        woc_bulk_tx_json(missing, bulk);
        for (std::size_t k = 0; k < spare.size(); ++k)
            if (!bulk[missing.size() - spare.size() + k].is_null())
                learn(spare[k], bulk[missing.size() - spare.size() + k]);
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
                place_copy(row.height, txs[k]);
                learn(row, txs[k]);
            }
            if (txs[k].is_null()) continue;
            // An id listed without a block (by the oracle index) is placed by its own copy.
            const std::int64_t height = row.height > 0 ? row.height : row.past_tip ? 0 : block_of(txs[k]);
            if (!in_bounds(height)) continue;
            take(row.txid, height, std::move(txs[k]));
        }
        next = end;
        if (stopped()) break;
    }
}

void WatchScan::take(const std::string& txid, std::int64_t height, json tx) {
    if (taken_.count(txid)) return;
    // A record read as waiting stands in no block, whatever block its copy names.
    if (height <= 0 && tx.is_object()) tx.erase("blockheight");
    WatchRecord record;
    if (!watch_record_of_tx(txid, listed++, std::move(tx), record)) return;
    taken_.insert(txid);
    const bool earlier = found_at == 0 || (height > 0 && (found_at < 0 || height < found_at));
    if (bounds.enough && earlier && bounds.enough(record)) found_at = height > 0 ? height : -1;
    records.push_back(std::move(record));
}

// Keeps what a fetch read: a mined record for the file, a waiting one for this process, and an id
// whose copy is its own transaction and carries none for every later read of this process.
void WatchScan::learn(const WatchRow& row, const json& tx) {
    WatchRecord record;
    // A record no reader reads is not kept: counted with the kept ones, it would void the windows
    // it stands in once a save sheds it.
    const bool counts = watch_record_of_tx(row.txid, 0, tx, record) && kept_record_type(json_text(record.msg, "type"));
    const bool none = !counts && tx_json_hashes_to(tx, row.txid);
    const std::int64_t mined = row.height > 0 ? row.height : row.past_tip ? 0 : block_of(tx);
    std::lock_guard<std::mutex> lock(memory.mutex);
    if (!counts) {
        if (none) memory.no_record.add(row.txid);
        if (none && mined > 0) learned_none[row.txid] = mined;
        return;
    }
    if (mined > 0) {
        learned[row.txid] = {mined, 0, tx_text(tx), 0, began_ms};
        return;
    }
    if (memory.waiting.size() >= kWaitingLimit) memory.waiting.clear();
    memory.waiting[row.txid] = tx;
}

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
