// A gallery read's listings: while a scope lives, the watch reads of the threads that use it list
// each watch's new blocks and mempool once, in block order, share that listing, and share one
// request budget. Used by the watch reader; the gallery opens the scopes.
#pragma once

#include "art/watch/lists.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

// The listings of one gallery read: while a scope lives, the watch reads of the threads that use
// it (WatchListingsUse) list each watch's new blocks and mempool once, in block order, and share
// that listing. With a request budget, the reads of the scope that are not fresh make at most that
// many WhatsOnChain requests between them, each at most kWatchScanRequestShare; a read that found
// what it sought gives its requests back. A read that reached the bound keeps what it read whole and
// fails with kWatchReadCut, and is not tried again while the scope lives: the next scope goes on
// from where it stopped.
struct WatchListings;
struct WatchListingsScope {
    std::shared_ptr<WatchListings> shared;
    explicit WatchListingsScope(std::size_t request_budget = 0);
};
constexpr std::size_t kWatchScanRequestShare = 12;

// The text of a watch read that stopped at the request budget of its scope.
constexpr const char* kWatchReadCut = "the registry's listing is still being read; the next read goes on from there.";

// Makes the calling thread's watch reads use `scope` (null: none) until this is destroyed.
struct WatchListingsUse {
    explicit WatchListingsUse(const WatchListingsScope& scope);
    explicit WatchListingsUse(WatchListings* scope);
    ~WatchListingsUse();
    WatchListingsUse(const WatchListingsUse&) = delete;
    WatchListingsUse& operator=(const WatchListingsUse&) = delete;

private:
    WatchListings* previous_ = nullptr;
};

// The scope the calling thread's watch reads use, for the threads it starts to use too; null when
// none.
WatchListings* watch_listings_in_use();

// Within the request budget of the scope in use: while on, its reads take a first look only, a
// request or two each given back when the read ends, and a read stopped there may go on later in
// the scope. False, and nothing changes, without a scope that has a budget.
bool watch_listings_first_look(bool on);

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
