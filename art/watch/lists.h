// The listings a watch read is made of: WhatsOnChain's paged history lists of an address (mined,
// in block order from a given block, and the mempool's), the platform's oracle index, and a gallery
// read's shared listing of each watch. Used by the watch reader only.
#pragma once

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
    // Listed in a block past the tip the chain route shows: read as waiting, whatever block its
    // copy names.
    bool past_tip = false;
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
