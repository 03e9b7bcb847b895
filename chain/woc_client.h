// WhatsOnChain client of the coin side: merged unspent listings of an address, transaction
// existence and JSON, output spend status, the wallet's own outputs of a transaction and bulk
// balances; plus the 8-second freshness of the per-address coin cache and the process-wide cache
// of spend status (mined transactions are kept in tx_store.h). Nothing here throws; failures are results.
#pragma once

#include "chain/coin_state.h"

#include <nlohmann/json.hpp>

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

// An address of a balance scan and its receive index.
struct IndexedAddress {
    std::uint32_t index = 0;
    std::string address;
};

// The service base (ending in "/v1/bsv/main") followed by path.
std::string woc_url(const std::string& path);

// Appends the usable elements of a listing (an array, or an object whose "result" is an array).
// False when the reply has neither shape; true otherwise, even when nothing was appended.
bool parse_utxo_list(const nlohmann::json& reply, std::vector<Utxo>& list);

// GET of one listing URL, appended to list. False with the HTTP error text, or "bad utxo list".
bool woc_utxo_list(const std::string& url, std::vector<Utxo>& list, std::string& error);

// The paged "/address/<address>/unspent/all" listing, appended to list. True when at least one
// page was read; false with the error text otherwise.
bool woc_unspent_all(const std::string& address, std::vector<Utxo>& list, std::string& error);

// Removes from list the outputs that the address's recent mempool transactions spend. Quietly
// does nothing when the history cannot be read.
void drop_mempool_spent(const std::string& address, std::vector<Utxo>& list);

// The three listings of an address merged, largest first, de-duplicated and cleaned of outputs
// spent in the mempool. False (error set) only when all three listings failed. `any_ok` tells
// whether the paged or the confirmed listing answered.
bool list_address_utxos(const std::string& address, std::vector<Utxo>& list, std::string& error,
                        bool* any_ok = nullptr);

// The body of a WhatsOnChain bulk request: {"addresses": [...]}.
std::string bulk_addresses_body(const std::vector<std::string>& addresses);

// One POST listing the confirmed (or unconfirmed) unspent outputs of up to 20 addresses, each
// address's outputs in lists[i] with answered[i] set when the reply held its list. False when the
// request failed, the reply is no list, or it is as long as the service's cap and may have been
// cut; the one-address listings are the fallback then.
bool woc_bulk_unspent(const std::vector<std::string>& addresses, bool confirmed, std::vector<std::vector<Utxo>>& lists,
                      std::vector<bool>& answered);

// The merged listings of an address sorted largest first, de-duplicated in either byte order and
// cleaned of outputs spent in the mempool (drop_mempool_spent).
void finish_address_listing(const std::string& address, std::vector<Utxo>& list);

// True when the service knows the transaction (its hex, or else its JSON, can be read).
bool woc_tx_exists(const std::string& txid);

// 0 = known, 1 = unknown (or not a 64-hex id), 2 = could not tell.
int woc_tx_status(const std::string& txid);

// The JSON object of "/tx/<txid>", through the store of transactions (tx_store.h); a copy kept
// from before the transaction was mined will do unless `mempool_copy_will_do` is false (a reader of
// its place in the chain). False when it cannot be read or is not an object.
bool woc_tx_json(const std::string& txid, nlohmann::json& tx, bool mempool_copy_will_do = true);

// 0 = spent (spender set), 1 = no spender known, 2 = could not tell, 3 = transaction unknown.
// Codes 0 and 3 are remembered until woc_cache_clear, one answer an output for this reader and
// woc_bulk_spent_by alike.
int woc_spent_by(const std::string& txid, std::uint32_t vout, std::string& spender);

// A transaction read elsewhere (a record a watch lists) that spends outputs: the chain shows it as
// their spender, so each output it spends that has no spender remembered takes it for every later
// reader, woc_spent_by and woc_bulk_spent_by alike. Nothing when `tx` is not that transaction's JSON.
void woc_spends_seen(const std::string& spender_txid, const nlohmann::json& tx);

// The spenders of many outputs at once through the bulk spend status, 20 outputs a request, side
// by side, keyed "<txid>_<index>" (lower case): "" for an output the service lists unspent, the
// spender's id for one it lists spent. A spender remembered for an output (woc_spent_by) stands;
// where the two disagree, the one whose transaction spends the output is every reader's. An
// output without a clear answer is left out, for the caller to look up alone.
std::map<std::string, std::string> woc_bulk_spent_by(const std::vector<std::pair<std::string, std::uint32_t>>& outputs);

// Empties the spend-status caches and the kept places in blocks, of every service; the store of
// mined transactions stays.
void woc_cache_clear();

// True for a transaction's JSON that has "vin" and "vout" arrays, the shape every reader of inputs
// and outputs needs.
bool woc_tx_usable(const nlohmann::json& tx);

// Ids (or outputs) one bulk request of transaction details or spend status takes at most.
constexpr std::size_t kWocBulkPerRequest = 20;

// The transactions' JSON from the bulk details, kWocBulkPerRequest a request, a few side by side;
// `txs[i]` is null where the reply held no usable copy of `txids[i]`. False when no request was
// answered. `unknown`, when given, has `unknown[i]` set where an answered request showed the
// service does not know `txids[i]`; an id whose request failed is not set.
bool woc_bulk_tx_json(const std::vector<std::string>& txids, std::vector<nlohmann::json>& txs,
                      std::vector<char>* unknown = nullptr);

// The ids of the block at `height` in block order. A block of more than a thousand transactions
// lists only its first hundred with the block; the rest are read through the block's pages. False
// when the block or one of its pages could not be read.
bool woc_block_txids(std::int64_t height, std::vector<std::string>& txids);

// Where a mined transaction stands in its block at `height` (0 first), read through
// woc_block_txids and kept per service, height and transaction, so a transaction found later in
// another block is placed afresh; -1 when the block cannot be read or does not hold it.
std::int64_t woc_tx_block_place(std::int64_t height, const std::string& txid);
// The places of several transactions of the block at `height`, as woc_tx_block_place gives each,
// from one read of its list: two asked together are never read apart while other blocks are read
// between them.
std::vector<std::int64_t> woc_tx_block_places(std::int64_t height, const std::vector<std::string>& txids);

// Adds the P2PKH outputs of a transaction that pay a wallet key, not spent and not known yet, to
// the change coins, each with the keys of the address it pays. True when a coin was added. The
// caller holds the wallet mutex; the change file is not written.
bool learn_own_outputs(const std::string& txid);

// Stores one address refresh in the coin cache. A failed refresh (ok false) leaves an existing
// entry alone and otherwise adds one that is never fresh. The caller holds the wallet mutex.
void address_coins_store(const std::string& address, const std::vector<Utxo>& utxos, bool ok, bool keep_old);

// True when the address has an entry filled by a successful listing less than 8 s ago.
bool utxo_cache_fresh(const std::string& address);

// One POST for the balances of many addresses; raises highest to the largest index of an address
// that holds coins. False when the request fails or the reply is not a balance list.
bool woc_bulk_balances(const std::vector<IndexedAddress>& addresses, std::uint32_t& highest);

// The same request for up to 20 addresses, telling of each whether it holds coins now (confirmed,
// or unconfirmed and not spent): funded[i] for addresses[i]. False when the request fails, the
// reply is not a balance list, or more than 20 addresses were given.
bool woc_bulk_funded(const std::vector<std::string>& addresses, std::vector<char>& funded);
