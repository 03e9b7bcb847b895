// The listings a watch read is made of: WhatsOnChain's paged history lists of an address (mined,
// in block order from a given block, and the mempool's), the platform's oracle index, and a gallery
// read's shared listing of each watch. Used by the watch reader only.
#pragma once

#include "art/watch_reader.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <unordered_set>
#include <vector>

// How a paged list ended: no page answered, stopped with pages left (a failure, a page with
// nothing new, the bound), or read as far as asked.
enum class ListEnd { failed, cut, whole };

// No block reaches this height in the life of the program; a service that lists one past it lists
// a damaged row, read as standing past the tip.
constexpr std::int64_t kHeightLimit = 2147483647;

// The newest block WhatsOnChain shows, asked at most every 30 seconds per service, and asked again
// at once when a reader has seen a row listed past the one known; 0 when it was never read.
std::int64_t listed_tip(std::int64_t seen = 0);

// Forgets the tips read, as a restart does.
void listed_tips_forget();

// One listed transaction: its block, 0 while it waits in the mempool or where no block is listed.
struct WatchRow {
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
ListEnd read_oracle_pages(const std::string& watch_key, UniqueIds& txids);

// Where a paged history list stands: the next page's token, the ids of the last two pages (a list
// is as long as the watch's traffic; what it keeps is not), the pages read.
struct HistoryCursor {
    std::string token;
    std::unordered_set<std::string> previous, current;
    int pages = 0;
};

// The order a mined history list comes in, as its rows show it: a service may answer newest first
// and from its tip whatever block and order a reader asks for. Rows without a block say nothing.
struct ListOrder {
    std::int64_t last = 0;
    bool ascending = true, descending = true;
    bool below = false; // a row older than the block asked for was listed
    void see(std::int64_t height, std::int64_t from) {
        if (height <= 0) return;
        if (last > 0) {
            ascending = ascending && height >= last;
            descending = descending && height <= last;
        }
        last = height;
        below = below || height < from;
    }
    // Newest first and back past the block asked for: nothing later in the list stands in the
    // blocks asked for.
    bool read_back() const { return descending && !ascending && below; }
};

// The next page of one of WhatsOnChain's history lists: `rows` receives the ids not listed on this
// page or the one before. False when the service did not answer; `more` tells whether pages remain.
bool read_history_page(const std::string& list_url, HistoryCursor& cursor, std::vector<WatchRow>& rows, bool& more);

// How a list whose last page read said no more pages remain ended.
ListEnd history_end(const HistoryCursor& cursor);

// One of WhatsOnChain's history lists, page by page, each page handed to `page` as it comes;
// `page` returns false once the reader has what it needs. `bare_fallback`: a list whose paging
// query is refused is asked once without it (it then never counts as whole).
ListEnd read_history(const std::string& list_url, bool bare_fallback,
                     const std::function<bool(std::vector<WatchRow>&)>& page);

// The watch's mined history from block `from` on, in block order.
std::string confirmed_url(const std::string& watch_address, std::int64_t from);

// The watch's payments waiting in the mempool, each with height 0.
ListEnd read_waiting(const std::string& watch_address, std::vector<WatchRow>& rows);

// A gallery read's shared listing of one watch (WatchListingsScope).
struct WatchTail;

// The scope's listing of the watch from `from` on: one the scope started at that block, or at an
// older one that has already listed this far; else a new one from `from`.
std::shared_ptr<WatchTail> scope_tail(WatchListings& scope, const std::string& key, const std::string& watch_address,
                                      std::int64_t from);

// The tail's rows from the first at or after block `from`, a page at a time: `rows` receives those
// from index `at` on, read from the service when no reader has asked that far yet, each page only
// once `may_request` allowed it. False once the list has no more (`end` then tells how it ended)
// or a page was refused (`refused`).
bool tail_rows(WatchTail& tail, std::int64_t from, std::size_t& at, std::vector<WatchRow>& rows, ListEnd& end,
               const std::function<bool()>& may_request, bool& refused);

// The mempool rows of the tail's watch, listed the first time a reader of the scope asks and
// `may_request` allows it; ListEnd::cut with `refused` when it did not.
ListEnd tail_waiting(WatchTail& tail, const std::string& watch_address, std::vector<WatchRow>& rows,
                     const std::function<bool()>& may_request, bool& refused);

// The request budget of a gallery read's scope (WatchListingsScope): whether it has one; takes one
// request from it (false once none is left); gives requests back; whether the read of watch `key`
// from block `start` was cut in this scope, and marks it so.
bool scope_bounded(const WatchListings& scope);
bool scope_take_request(WatchListings& scope);
void scope_give_back(WatchListings& scope, std::size_t requests);
bool scope_read_cut(WatchListings& scope, const std::string& key, std::int64_t start);
void scope_mark_cut(WatchListings& scope, const std::string& key, std::int64_t start);
// While on, the scope's reads take a first look: at most kWatchFirstLookShare requests each, all
// given back when the read ends, and a read the share stopped may go on later in the scope.
void scope_first_look(WatchListings& scope, bool on);
bool scope_first_looking(WatchListings& scope);
constexpr std::size_t kWatchFirstLookShare = 2;
