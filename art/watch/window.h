// The windows a read listed: what a listing showed of a run of blocks, kept as notes with the
// watch, so a later read that lists the same rows there fetches none of them. Used by the watch
// reader only.
#pragma once

#include "art/watch/scan.h"

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

// What a read listed of blocks from..to: a later read, in this process or the next, that lists the
// same rows there knows what each carries and fetches none of them. Kept with the watch as notes
// (the newest blocks a read listed, and the spans reads listed from their start); `records` counts
// the kept records that stood there, so one the kept bound shed voids the window. `parts` sum a
// few runs of its blocks apart, so a row listed late costs its own part, not the window.
struct ListedWindow {
    std::int64_t from = 0, to = -1;
    std::uint64_t rows = 0, sum_high = 0, sum_low = 0;
    std::uint64_t records = 0;
    std::vector<ListedWindow> parts; // ascending, apart, from..to together; or none
    void add(const std::string& txid);
    void add(const ListedWindow& other);
    bool same_rows(const ListedWindow& other) const {
        return rows == other.rows && sum_high == other.sum_high && sum_low == other.sum_low;
    }
};

// The rows a listing showed from its first block on, summed by block; the oldest blocks are
// folded together past a few thousand, so only windows ending after them can be summed.
struct WindowTally {
    void add(std::int64_t height, const std::string& txid);
    // The rows of blocks from..to, with their parts; false when the fold reaches past `to`.
    bool sum(std::int64_t from, std::int64_t to, ListedWindow& out) const;

private:
    ListedWindow folded_;
    std::int64_t folded_from_ = -1, folded_to_ = -1;
    std::map<std::int64_t, ListedWindow> by_block_;
};

// A kept window the listing from `from` covers, its rows buffered while the listing passes it: the
// rows of one part at a time, or of the whole window where it has no parts.
struct BufferedWindow {
    ListedWindow kept;
    ListedWindow listed; // what this listing showed there
    std::vector<WatchRow> rows;
    std::size_t part = 0; // the part whose rows are buffered
    bool open = false;
};

// Opens the widest kept window this listing covers whose kept records all still stand.
BufferedWindow buffer_window(WatchScan& scan, std::int64_t from);

// Buffers a listed row of the window's blocks. A listing in block order (`in_order`) that reaches a
// later part gives the rows of the part it passed to `rows`, as release_window does.
void buffer_row(WatchScan& scan, BufferedWindow& buffered, WatchRow row, bool in_order, std::vector<WatchRow>& rows);

// Gives the buffered rows to `rows`. Where the listing went past the window (`listed_past`), those
// of a part listed as the earlier read listed it that are no kept record carry none.
void release_window(WatchScan& scan, BufferedWindow& buffered, bool listed_past, std::vector<WatchRow>& rows);

// Notes the windows a read listed whole: the newest blocks, and the span from its start when it
// listed from there; false when nothing changed. The caller holds the memory's lock.
bool keep_windows(WatchMemory& memory, ListedWindow newest, ListedWindow span);
