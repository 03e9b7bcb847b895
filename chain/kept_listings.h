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

// Addresses the user's own hangings, asks and offers named that the kept listing remembers, the
// most recently named first.
constexpr std::size_t kNamedAddresses = 20;

// One address's last listing: its coins and how many listings of the address came before the one
// it was made after (a writer counts one past the entry it read before listing). An entry without
// coins is kept while it is the newest word on an address that held some.
struct KeptAddress {
    std::vector<Utxo> coins;
    std::uint64_t seq = 0;
};

// The kept listing of one wallet.
struct KeptListing {
    std::string first;           // receive address 0: the file is this wallet's
    std::uint64_t listed_to = 0; // receive indexes below this were each listed whole once
    std::int64_t last_used = -1; // the highest receive index a listing found coins at
    std::uint64_t sweep = 0;     // addresses the balance slices asked so far, round the wallet
    std::unordered_map<std::string, KeptAddress> addresses;
    std::vector<std::string> named; // listed at every refresh (note_named_addresses)
};

// data folder + "/tx_hist/" + stem + "_listing.json".
std::string kept_listing_path(const std::string& stem);

// Reads the kept file; false with `out` empty when there is none, it belongs to another wallet
// (`first` differs) or it is damaged, which is then set aside.
bool load_kept_listing(const std::string& path, const std::string& first, KeptListing& out);

// Merges `mine` with what the file holds now under a lock on the file, writes the result beside the
// file and moves it in place; `mine` becomes the merged listing. Of two listings of an address the
// later stands by what they show (kept_listing_is_later), the farther progress stands, and the
// named addresses of both are kept, mine first. False when nothing could be written.
bool save_kept_listing(const std::string& path, KeptListing& mine);

// Whether listing `a` of an address is later than `b`, by what the services showed, never by a
// clock: a coin `a` lists confirmed that `b` lists unconfirmed, or a coin `b` lists at a block `a`
// lists coins at or above without it (spent since). When the coins do not tell, the listing made
// after reading the other (the higher `seq`); when nothing tells, the one with coins, whose address
// is then listed once more.
bool kept_listing_is_later(const KeptAddress& a, const KeptAddress& b);

// The addresses the user's own hangings, asks and offers name: a sale pays the hanging's, an
// offer's change comes back to the buyer's. A large wallet lists those of its receive addresses at
// every refresh, whatever its kept listing says; the last kNamedAddresses named are kept in the
// data folder, so a restart lists them too. Takes the wallet mutex briefly; does not wait on the
// network.
void note_named_addresses(const std::vector<std::string>& addresses);

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
