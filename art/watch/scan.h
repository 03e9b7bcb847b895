// One read of a watch: what is known of the watch at one service, and the rows a read lists,
// examined against it oldest block first and fetched in bulk where nothing is known of them. Used
// by the watch reader only.
#pragma once

#include "art/watch/kept.h"
#include "art/watch/lists.h"
#include "art/watch/reader.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <future>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

// Blocks this far below the newest block a read's own listing shows (and the chain route's tip)
// no longer change: only they are kept as read whole, and only so far below the chain route's tip
// is what was kept trusted; the newer ones are listed again at each read.
constexpr std::int64_t kFinalDepth = 6;
// The chain route may lag the history lists by a block or two: a row listed at most this far past
// the tip it shows stands in its block, one further is damage.
constexpr std::int64_t kTipLag = 6;

// Sixteen hex digits of a transaction id from `at`, as a number.
std::uint64_t hex_u64(const std::string& text, std::size_t at);

// Transactions known to carry no record. A transaction's id fixes its content, so what one read
// learned holds for every later one, in any block; only ids whose copy hashed to them are taken.
// Sixteen bytes an id; past a million the set starts again.
struct NoRecordIds {
    bool has(const std::string& txid) const;
    void add(const std::string& txid);
    void clear();

private:
    using Key = std::pair<std::uint64_t, std::uint64_t>;
    std::vector<Key> sorted_;
    std::set<Key> recent_;
};

// What is known of a watch at one service: what is kept on disk, the records waiting in the
// mempool this process read, and the ids known to carry none.
struct WatchMemory {
    std::mutex mutex;
    WatchKept kept;
    std::unordered_map<std::string, nlohmann::json> waiting;
    NoRecordIds no_record;
    std::int64_t note_version = 0;
};

// One read of a watch: what it found, and what it learned for the memory.
struct WatchScan {
    const WatchScanBounds& bounds;
    WatchMemory& memory;
    std::vector<WatchRecord>& records;
    std::int64_t tip = 0;   // the newest block the chain route shows; 0 when unknown
    bool tip_asked = false; // asked again for a row listed past it
    // The chain route's tip, read beside the listing's first page rather than before it; waited for
    // where a block's place is first judged.
    std::future<std::int64_t> tip_read;
    std::int64_t listed_newest = 0; // the newest block this read's listing showed
    std::int64_t began_ms = 0;      // when the read began, as the records it finds are stamped
    std::int64_t found_at = 0;      // block of the first accepted record; -1 when it was unconfirmed
    bool all_read = true;
    std::int64_t listed = 0;
    std::map<std::string, KeptRecord> learned;
    // Mined transactions this read found to carry no record, with their block.
    std::map<std::string, std::int64_t> learned_none;
    // The blocks the listing showed the kept records in; only those, however long the list.
    std::unordered_map<std::string, std::int64_t> listed_kept;
    // The scope whose request budget the read draws on (null: none), what it took, and where the
    // budget stopped it: the first block not read whole (0: none), or the mempool.
    WatchListings* budget = nullptr;
    std::size_t taken = 0;
    std::int64_t cut_at = 0;
    bool cut_waiting = false;

    WatchScan(const WatchScanBounds& b, WatchMemory& m, std::vector<WatchRecord>& r)
        : bounds(b), memory(m), records(r) {}

    // The last block that can no longer change by the chain route's tip, beyond which nothing kept
    // before is trusted; 0 while the tip is unknown, and then none is.
    std::int64_t final_block() const { return tip > kFinalDepth ? tip - kFinalDepth : 0; }
    // The last block this read may keep as read whole: counted from the newest block its listing
    // showed, which a lagging index or a chain route that runs ahead cannot move, and never past
    // the chain route's tip; 0 while either is unknown.
    std::int64_t final_listed() const {
        const std::int64_t newest = std::min(tip, listed_newest);
        return newest > kFinalDepth ? newest - kFinalDepth : 0;
    }
    // Takes the tip read beside the listing, once it is in.
    void tip_wait() {
        if (tip_read.valid()) tip = std::max(tip, tip_read.get());
    }
    // Whether one more request may go out: always without a budget; with one, while the read's
    // share and the scope's budget last.
    bool request();
    // Gives back requests taken that did not go out, or that a read that found what it sought
    // does not pay for.
    void give_back(std::size_t requests);
    // Notes that the budget stopped the read at block `height` (0 or below: the mempool).
    void cut(std::int64_t height);
    bool stopped() const { return cut_at > 0 || cut_waiting; }

    // A row listed further past the tip than the chain route lags stands in no block the route
    // shows yet: it stays in the read as waiting (past_tip), whatever block its copy names.
    void place(WatchRow& row);
    // Reads the rows, oldest block first with those of no block last, fetching in bulk what is
    // not known; with a search, a round at a time, ending at the block of its find. With a budget,
    // ends at the block whose rows its requests could not fetch.
    void examine(std::vector<WatchRow> rows);

private:
    std::unordered_set<std::string> taken_;
    // Rows listed past the bounds, fetched where a bulk request has room so that the reads after
    // this one find them; never taken as this read's records.
    std::vector<WatchRow> spare_;

    bool past(std::int64_t height) const;
    bool in_bounds(std::int64_t height) const;
    bool kept_whole(std::int64_t height) const;
    std::int64_t block_of(const nlohmann::json& tx) const;
    std::vector<WatchRow> wanted_rows(std::vector<WatchRow>& rows);
    std::size_t round_at_hand(const std::vector<WatchRow>& wanted, std::size_t next, std::size_t end,
                              std::vector<nlohmann::json>& txs, std::vector<char>& at_hand,
                              std::vector<std::string>& missing);
    void take(const std::string& txid, std::int64_t height, nlohmann::json tx);
    void learn(const WatchRow& row, const nlohmann::json& tx);
};

// The kept records of blocks from..to, oldest first, as rows.
std::vector<WatchRow> kept_rows(WatchMemory& memory, std::int64_t from, std::int64_t to);
