#include "art/watch/tails.h"

#include <algorithm>
#include <atomic>
#include <map>
#include <mutex>
#include <set>
#include <utility>

// A watch's mempool as a gallery read listed it once for all its readers.
struct TailWaiting {
    std::mutex mutex;
    bool read = false;
    std::vector<WatchRow> rows;
    ListEnd end = ListEnd::failed;
};

// What a gallery read's title reads share of each watch: its new blocks, listed once in block
// order and only as far as the furthest of them needs, and its mempool.
struct WatchTail {
    std::mutex mutex;
    std::string url;
    std::int64_t from = 0;
    std::vector<WatchRow> confirmed; // as listed, from block `from` on
    HistoryCursor cursor;
    ListOrder order;
    bool confirmed_done = false;
    ListEnd confirmed_end = ListEnd::failed;
    // The last block the list has shown whole so far; kHeightLimit once it ended.
    std::atomic<std::int64_t> reached{0};
    std::shared_ptr<TailWaiting> waiting;
};

struct WatchListings {
    std::mutex mutex;
    std::map<std::string, std::vector<std::shared_ptr<WatchTail>>> tails;
    bool bounded = false;
    std::size_t requests_left = 0;
    bool first_look = false;                            // reads give back what they took and are not marked cut
    std::set<std::pair<std::string, std::int64_t>> cut; // watch key, first block
};

namespace {

thread_local WatchListings* t_listings = nullptr;

// The next page of the tail's confirmed list; the caller holds its mutex.
void tail_read_page(WatchTail& tail) {
    std::vector<WatchRow> rows;
    bool more = false;
    if (!read_history_page(tail.url, tail.cursor, rows, more)) {
        tail.confirmed_end = tail.cursor.pages == 0 ? ListEnd::failed : ListEnd::cut;
        tail.confirmed_done = true;
        return;
    }
    std::int64_t last = 0;
    for (WatchRow& row : rows) {
        tail.order.see(row.height, tail.from);
        last = std::max(last, row.height);
        if (row.height >= tail.from) tail.confirmed.push_back(std::move(row));
    }
    // A list that came newest first is read back to the block asked for and no further.
    if (tail.order.read_back()) {
        tail.confirmed_end = ListEnd::whole;
        tail.confirmed_done = true;
    } else if (!more) {
        tail.confirmed_end = history_end(tail.cursor);
        tail.confirmed_done = true;
    }
    // The block of a page's last row may go on in the next page.
    if (tail.confirmed_done)
        tail.reached = kHeightLimit;
    else if (tail.order.ascending && last > 0)
        tail.reached = std::max<std::int64_t>(tail.reached, last - 1);
}

} // namespace

bool tail_rows(WatchTail& tail, std::int64_t from, std::size_t& at, std::vector<WatchRow>& rows, ListEnd& end,
               const std::function<bool()>& may_request, bool& refused) {
    refused = false;
    std::lock_guard<std::mutex> lock(tail.mutex);
    // Only a list in block order can be entered at a block; a reader filters any other itself.
    if (at == 0 && tail.order.ascending)
        at = static_cast<std::size_t>(
            std::lower_bound(tail.confirmed.begin(), tail.confirmed.end(), from,
                             [](const WatchRow& row, std::int64_t height) { return row.height < height; }) -
            tail.confirmed.begin());
    while (at >= tail.confirmed.size() && !tail.confirmed_done) {
        if (!may_request()) {
            refused = true;
            break;
        }
        tail_read_page(tail);
    }
    rows.assign(tail.confirmed.begin() + static_cast<std::ptrdiff_t>(std::min(at, tail.confirmed.size())),
                tail.confirmed.end());
    at = tail.confirmed.size();
    end = tail.confirmed_end;
    return !rows.empty();
}

ListEnd tail_waiting(WatchTail& tail, const std::string& watch_address, std::vector<WatchRow>& rows,
                     const std::function<bool()>& may_request, bool& refused) {
    refused = false;
    TailWaiting& waiting = *tail.waiting;
    std::lock_guard<std::mutex> lock(waiting.mutex);
    if (!waiting.read) {
        if (!may_request()) {
            refused = true;
            return ListEnd::cut;
        }
        waiting.read = true;
        waiting.end = read_waiting(watch_address, waiting.rows);
    }
    rows = waiting.rows;
    return waiting.end;
}

std::shared_ptr<WatchTail> scope_tail(WatchListings& scope, const std::string& key, const std::string& watch_address,
                                      std::int64_t from) {
    std::lock_guard<std::mutex> lock(scope.mutex);
    std::vector<std::shared_ptr<WatchTail>>& tails = scope.tails[key];
    // A listing begun at an older block is joined only once it has reached this one: a reader
    // never waits on the pages of another's span, nor shares its cut.
    for (const std::shared_ptr<WatchTail>& tail : tails)
        if (tail->from == from || (tail->from < from && tail->reached >= from)) return tail;
    auto tail = std::make_shared<WatchTail>();
    tail->url = confirmed_url(watch_address, from);
    tail->from = from;
    tail->waiting = tails.empty() ? std::make_shared<TailWaiting>() : tails.front()->waiting;
    tails.push_back(tail);
    return tail;
}

WatchListingsScope::WatchListingsScope(std::size_t request_budget) : shared(std::make_shared<WatchListings>()) {
    shared->bounded = request_budget > 0;
    shared->requests_left = request_budget;
}

bool scope_bounded(const WatchListings& scope) {
    return scope.bounded;
}

bool scope_take_request(WatchListings& scope) {
    std::lock_guard<std::mutex> lock(scope.mutex);
    if (!scope.bounded) return true;
    if (scope.requests_left == 0) return false;
    --scope.requests_left;
    return true;
}

void scope_first_look(WatchListings& scope, bool on) {
    std::lock_guard<std::mutex> lock(scope.mutex);
    scope.first_look = on;
}

bool scope_first_looking(WatchListings& scope) {
    std::lock_guard<std::mutex> lock(scope.mutex);
    return scope.first_look;
}

void scope_give_back(WatchListings& scope, std::size_t requests) {
    std::lock_guard<std::mutex> lock(scope.mutex);
    if (scope.bounded) scope.requests_left += requests;
}

bool scope_read_cut(WatchListings& scope, const std::string& key, std::int64_t start) {
    std::lock_guard<std::mutex> lock(scope.mutex);
    return scope.cut.count({key, start}) > 0;
}

void scope_mark_cut(WatchListings& scope, const std::string& key, std::int64_t start) {
    std::lock_guard<std::mutex> lock(scope.mutex);
    scope.cut.insert({key, start});
}

WatchListingsUse::WatchListingsUse(const WatchListingsScope& scope) : WatchListingsUse(scope.shared.get()) {}

WatchListingsUse::WatchListingsUse(WatchListings* scope) : previous_(t_listings) {
    t_listings = scope;
}

WatchListings* watch_listings_in_use() {
    return t_listings;
}

bool watch_listings_first_look(bool on) {
    if (!t_listings || !scope_bounded(*t_listings)) return false;
    scope_first_look(*t_listings, on);
    return true;
}

WatchListingsUse::~WatchListingsUse() {
    t_listings = previous_;
}
