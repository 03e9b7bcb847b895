// Bringing the wallet's coins up to date before a payment: the per-address listings run with the
// wallet mutex released, their merge into the coin caches with the pruning of stale change coins,
// the change destination, the GorillaPool resync after "missing inputs", the already-known
// classifier with the cache expiry that follows it, and the receive-address balance scan.
#pragma once

#include "chain/coin_state.h"
#include "chain/tx.h"
#include "chain/unsettled_inputs.h"
#include "wallet/codecs.h"
#include "wallet/kv_cofferly_wallet.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <unordered_set>
#include <vector>

// At most this many listing threads run at once, however many addresses the wallet has.
constexpr std::size_t kRefreshThreads = 8;
// The bulk listings of one refresh (two requests per 20 addresses) go out on up to this many
// threads, so a wallet of up to 160 addresses lists them all in one round.
constexpr std::size_t kBulkThreads = 16;

// The work record of one address during a refresh.
struct AddressRefresh {
    std::string address;
    std::vector<Utxo> utxos;
    bool ok = false;                               // the merged WhatsOnChain listing succeeded
    std::unordered_set<std::string> ord_outpoints; // outpoint keys of ordinal outputs
    bool ords_ok = false;                          // the ordinal set was read
    bool any_ok = false;                           // more than the unconfirmed listing answered
    bool ords_unneeded = false;                    // a whole listing found no output for one to sit on
};

// The first receive index the balance scan has not asked about yet; 0 after a session clear.
std::atomic<std::uint32_t>& receive_scan_mark();

// Lists every stale address of the loaded wallet and merges the results. The caller holds the
// wallet mutex through wallet_lock; it is released during the listings and held again on return.
// False with "no wallet", or "wallet changed." when another wallet was loaded meanwhile (then
// nothing is applied).
bool refresh_wallet_coins(WalletLock& wallet_lock, std::string& error);

// Runs refresh_address_coins for every record on a small pool of threads and waits for all. Each
// record is written by one thread only; the wallet mutex is not taken.
void refresh_addresses_parallel(std::vector<AddressRefresh>& records, bool with_ords);
void refresh_address_coins(AddressRefresh& record, bool with_ords);

// Applies the records to the address caches, the change coins and the ordinal sets. Takes the
// wallet mutex a share of the records at a time (each address's entries change together), so a
// caller that does not hold it lets other threads in between; false, with the rest left, when
// another wallet was loaded meanwhile, or is loaded already when `stem` names the one the records
// were made for.
bool refresh_coins_and_prune(const std::vector<AddressRefresh>& records, const std::string* stem = nullptr);

// Drops the change coins of this address that are spent, or that the fresh listing lacks and the
// last sent transaction did not make. The change file is not written.
void prune_change_coins(const std::string& address, const std::vector<Utxo>& fresh);

// The hash160 that change is paid to: the main address, or for an HD wallet whose main address
// is a house oracle, the first receive address that is not one. False with the error text.
bool change_hash160(Hash160& hash160, std::string& error);

// The plain coins (more than 1 sat, no inscription or token data) GorillaPool lists for the
// address; true when at least one was found.
bool gp_plain_coins(const std::string& address, std::vector<Utxo>& list);

// Undoes the spent marks of outputs that GorillaPool still lists as plain unspent coins, and
// stores those coins, all but those an unsettled row names. Releases wallet_lock during the requests and holds it again
// on return.
void resync_plain_coins(WalletLock& wallet_lock);

// True when a broadcast reply says the transaction or a conflicting spend is already known.
bool is_already_known_error(const std::string& reply);

// Marks inputs[from..] spent, drops spent coins from the caches and makes every cached address
// stale, so the next refresh lists them all again.
void spend_inputs_expire_caches(const std::vector<TxInput>& inputs, std::size_t from);

// Asks WhatsOnChain for the balances of the next receive addresses (up to 400 above the receive
// counter, 20 a request; one scan ends after two requests in a row found no coins and the next
// goes on from there) and raises the counter to the highest one that holds coins. Reports nothing.
void scan_hd_balances();
