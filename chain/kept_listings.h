// The last listing of each receive address of a large wallet, kept in the data folder, so that a
// later refresh lists only the addresses whose coins can have changed: those that held coins, the
// newest ones past the last one used, and those whose balance the service shows funded since (a
// slice of the rest each refresh, read 20 to a request). The first listing of such a wallet
// happens once per data folder; it is kept as it goes, so a restart goes on where it stopped.
#pragma once

#include "chain/coin_refresh.h"
#include "chain/coin_state.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

// A wallet of at least this many receive addresses lists through its kept listing; a smaller one
// lists every address, which costs a few requests.
constexpr std::size_t kKeptListingFrom = 200;
// The newest receive addresses listed at each refresh when none of them was used yet.
constexpr std::uint64_t kNewestListed = 20;
// Receive addresses whose balance one refresh asks (20 to a request), going round the wallet.
constexpr std::uint64_t kSweepAddresses = 100;
// Addresses listed between two saves of the first listing, each save followed by a progress line.
constexpr std::size_t kFirstListingShare = 2000;
// The most coins, and the most addresses, the kept file holds, its writer and its loader alike: far
// above any wallet's unspent outputs, and a file this large still within the values and containers
// the bounded JSON reader takes.
constexpr std::size_t kMaxKeptCoins = 100000;

// One address's last listing: its coins and when it was listed (system milliseconds). An entry
// without coins is kept while it is the newest word on an address that held some.
struct KeptAddress {
    std::vector<Utxo> coins;
    std::int64_t at = 0;
};

// The kept listing of one wallet.
struct KeptListing {
    std::string first;           // receive address 0: the file is this wallet's
    std::uint64_t listed_to = 0; // receive indexes below this were each listed whole once
    std::int64_t last_used = -1; // the highest receive index a listing found coins at
    std::uint64_t sweep = 0;     // addresses the balance slices asked so far, round the wallet
    std::unordered_map<std::string, KeptAddress> addresses;
};

// data folder + "/tx_hist/" + stem + "_listing.json".
std::string kept_listing_path(const std::string& stem);

// Reads the kept file; false with `out` empty when there is none, it belongs to another wallet
// (`first` differs) or it is damaged, which is then set aside.
bool load_kept_listing(const std::string& path, const std::string& first, KeptListing& out);

// Merges `mine` with what the file holds now (the later listing of an address stands, the farther
// progress stands) under a lock on the file, writes the result beside the file and moves it in
// place; `mine` becomes the merged listing. False when nothing could be written.
bool save_kept_listing(const std::string& path, KeptListing& mine);

// Lists the records of the loaded wallet's addresses (refresh_addresses_parallel) with the wallet
// mutex free. A large wallet lists only what its kept listing cannot answer; the rest take their
// kept coins (as listed), and what was listed is kept. `sweep` asks the next slice's balances
// first (the balance's Refresh does; a step's coin selection does without the coins found so, and
// its broadcast then finds the service's turns free). Takes the wallet mutex for a few milliseconds
// at a time; the caller does not hold it.
// While a first listing runs, its progress ("Listing the wallet's addresses for the first time: 2000
// of 20000."), which each share also sends as a ("[KV-COFFERLY]", "progress", text) status event;
// "" otherwise. Never waits for the wallet mutex, so the window may ask it on a timer.
void refresh_wallet_records(std::vector<AddressRefresh>& records, bool with_ords, bool sweep);
std::string first_listing_progress();
