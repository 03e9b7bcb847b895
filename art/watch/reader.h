// Reading a watch address: the transactions that paid it, each fetched once and its verified "KV-Art" record kept.
// Safe on many threads at once (the gallery reads its frames so). Slow; worker threads only.
//
// Where a read starts: at the block its bounds give (an artwork's own block), past every range of blocks the data
// folder has read whole at the service in force (kept.h), which the listing leaps over.
// What it lists: WhatsOnChain's history of the watch in block order (lists.h), or the listing a gallery read's
// threads share under one request budget (tails.h); then the mempool. The platform's oracle index only for a read
// of the whole watch, or while the histories cannot be read.
// What it fetches: only rows nothing is known of (scan.h): not a kept record, not an id known to carry none, not a
// row of a window an earlier read listed the same way (window.h); in bulk, oldest block first, each record checked
// (record_checks.h) and placed in the block its listing shows.
// What it keeps, on disk per service (kept.h): the records of the kinds some reader uses, the ranges read whole
// (blocks some confirmations below the newest block the listing shows, never past the chain's tip), digests of
// the windows it listed, readers' notes (an artwork's first pair), and the ids of a block a budget stopped it in.
// Where it ends: past its bounds' last block, at the first record its caller accepts, at the budget (the next read
// goes on from there), or at the listing's end.
#pragma once

#include "art/art_records.h"
#include "art/watch/tails.h"

#include <nlohmann/json.hpp>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

// One HTTPS GET whose whole body must be JSON, sent with the given user agent (the gallery names
// itself apart), on the pooled connections and at the host's pace. True on status 200-299 with a
// body that parses; `out` is null on every failure. A 429 is asked again as http_get does.
bool http_get_json(const std::string& url, nlohmann::json& out, std::int32_t timeout_s,
                   const std::string& user_agent = "Kestrava-Art/1");

// The transaction as JSON: the oracle index's copy when it carries a record, else WhatsOnChain's.
bool fetch_tx_json(const std::string& txid, nlohmann::json& out);

// The text of a watch read that listed transactions it could not fetch.
constexpr const char* kWatchRecordsUnread = "Some records could not be read. Try again.";
// The text of a read within bounds whose listing of the mined blocks no service answered (while a
// service pauses every request, the wait it asks for stands in for "Try again.").
constexpr const char* kWatchListUnread = "the registry's listing could not be read. Try again.";

// Which part of a watch a read lists and fetches, by block. A watch carries every payment the
// platform ever had; a reader that knows where the records it looks for can stand reads only that
// part.
struct WatchScanBounds {
    std::int64_t min_height = 0; // the listing starts at this block
    std::int64_t mined_by = 0;   // positive: nothing mined in a later block is listed or fetched
    // When given, the listed ids are fetched oldest block first, a few bulk requests at a time,
    // and once a record it accepts was read, nothing in a later block nor unconfirmed is listed.
    std::function<bool(const WatchRecord&)> enough;
    // True: the blocks from min_height are listed again rather than taken as read whole before,
    // and a kept record the listing no longer shows in its block is forgotten. A read that
    // confirms what was remembered before money or a title moves asks for this.
    bool fresh = false;
};

// The records with a positive time at the watch whose signature verifies under the key they carry
// (no paymail is asked), within the bounds, ordered by time then transaction id. Neither the record
// type nor the watch payment is checked: callers apply their own rules. Only blocks some
// confirmations below the newest block the listing itself shows, never past the chain route's tip,
// are kept as read whole; a row listed past that tip stays in the read as waiting, never mined. False when the listing
// fails (its error text; kWatchListUnread for a read within bounds, which never falls back to a read of the whole
// watch), or with kWatchRecordsUnread and the records that were read when a listed transaction could not be fetched.
// `whole` tells whether every block the bounds ask for, and the mempool unless a mined record ended the search, was
// listed to its end.
bool scan_watch_messages(const std::string& watch_key, const std::string& watch_address,
                         std::vector<WatchRecord>& records, std::string& error, bool* whole = nullptr,
                         const WatchScanBounds& bounds = WatchScanBounds{});

// Notes a reader keeps with what was read of a watch at the service in force (the first pair of an
// artwork), kept on disk with it: "" when none; an empty value removes the note.
std::string watch_note(const std::string& watch_key, const std::string& name);
void watch_note_set(const std::string& watch_key, const std::string& name, const std::string& value);

// The verified record of a mined transaction a read of the watch kept; false when none is kept.
bool watch_kept_record(const std::string& watch_key, const std::string& txid, WatchRecord& record);

// The newest block WhatsOnChain shows, the one a watch read counts confirmations from: read at most
// every 30 seconds per service; 0 when it could never be read.
std::int64_t watch_chain_tip();
// Whether block `height` stands so far below that tip that it can no longer change; false while
// the tip is unknown.
bool watch_block_final(std::int64_t height);

// Whether block `height` can no longer change by what the watch's own listing showed at the service
// in force: it lies in a range kept as read whole, or some blocks below the newest block a listing
// of any watch showed this process, never past the chain route's tip. A tip that runs ahead of
// the listing finalises nothing on its own.
bool watch_block_final_listed(const std::string& watch_key, std::int64_t height);

// Forgets in memory what was read of every watch, as a restart does; the files stay.
void watch_memory_forget();
