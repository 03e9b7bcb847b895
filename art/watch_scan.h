// One read of a watch: what is known of the watch at one service, and the rows a read lists,
// examined against it oldest block first and fetched in bulk where nothing is known of them. Used
// by the watch reader only.
#pragma once

#include "art/watch_kept.h"
#include "art/watch_lists.h"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

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

// What a read listed of blocks from..to, the newest it listed: a later read, in this process or the
// next, that lists the same rows there knows what each carries and fetches none of them. Kept with
// the watch as a note; `records` counts the kept records that stood there, so a record the kept
// bound shed makes the window no longer count.
struct ListedWindow {
    std::int64_t from = 0, to = -1;
    std::uint64_t rows = 0, sum_high = 0, sum_low = 0;
    std::uint64_t records = 0;
    void add(const std::string& txid);
    void add(const ListedWindow& other);
    bool same_rows(const ListedWindow& other) const {
        return rows == other.rows && sum_high == other.sum_high && sum_low == other.sum_low;
    }
};

// The note that keeps a watch's window.
constexpr const char* kListedWindowNote = "~listed";
std::string listed_window_text(const ListedWindow& window);
// False when the text is no window.
bool listed_window_parse(const std::string& text, ListedWindow& window);

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
    std::int64_t tip = 0;      // the newest block the service shows; 0 when unknown
    bool tip_asked = false;    // asked again for a row listed past it
    std::int64_t found_at = 0; // block of the first accepted record; -1 when it was unconfirmed
    bool all_read = true;
    std::int64_t listed = 0;
    std::map<std::string, KeptRecord> learned;
    // The blocks the listing showed the kept records in; only those, however long the list.
    std::unordered_map<std::string, std::int64_t> listed_kept;

    WatchScan(const WatchScanBounds& b, WatchMemory& m, std::vector<WatchRecord>& r)
        : bounds(b), memory(m), records(r) {}

    // A row listed past the tip stands in no block yet: it is read as waiting.
    void place(WatchRow& row);
    // Reads the rows, oldest block first with those of no block last, fetching in bulk what is
    // not known; with a search, a round at a time, ending at the block of its find.
    void examine(std::vector<WatchRow> rows);

private:
    std::unordered_set<std::string> page_ids_, previous_ids_; // the repeat check of nearby rows
    std::unordered_set<std::string> taken_;

    bool past(std::int64_t height) const;
    bool in_bounds(std::int64_t height) const;
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
