// The road from the wallet's coins to a funded transaction: the wallet's own addresses, the
// ordinal outpoints held back from payments, the collection of spendable coins (spent, reserved,
// locked and ordinal coins left out), the selection with its cap on unconfirmed inputs, the fee
// of 100 sat per 1000 estimate-form bytes and the change output. Every call runs with the wallet
// mutex held by its caller.
#pragma once

#include "chain/coin_state.h"
#include "chain/reserves.h"
#include "chain/tx.h"
#include "wallet/codecs.h"
#include "wallet/kv_cofferly_wallet.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <unordered_set>
#include <vector>

// An ordinal look-up, or a failure flag, counts for this long.
constexpr std::int64_t kOrdSetFreshMs = 20000;
// Room kept for a P2PKH change output while inputs are chosen: 8 + 1 + 25 bytes.
constexpr std::size_t kChangeOutputBytes = 34;
// At most this many inputs of height 0 in one transaction.
constexpr std::size_t kMaxUnconfirmedInputs = 20;
// Every input in estimate form: txid, index, a 107-byte unlocking script with its length, sequence.
constexpr std::size_t kEstimateInputBytes = 148;

// The wallet's addresses without duplicates: the receive address of a single-key wallet, or the
// receive chain 1'/0/0..recv[1] and the identity address of an HD wallet; then every house-oracle
// address this wallet holds a key for. The list is cleared first.
void list_wallet_addresses(std::vector<std::string>& addresses);

// The same list, shared and never changed: it is made again only when the wallet's addresses
// changed since the last call, so a caller holding the wallet mutex pays a look-up, not 20,000
// insertions. Takes the wallet mutex itself. Given the caller's `lock`, a list made again is made
// with the mutex released, and the caller holds it again on return.
std::shared_ptr<const std::vector<std::string>> wallet_address_list();
std::shared_ptr<const std::vector<std::string>> wallet_address_list(WalletLock& lock);

// Replaces the address's ordinal-outpoint entry with this set, stamped now; ok false also raises
// the failure flag for the next 20 s.
void store_ord_outpoints(const std::string& address, const std::unordered_set<std::string>& outpoints, bool ok);
// True when the coin at this address must be held back as an ordinal. Without a fresh, successful
// look-up every 1-sat coin counts as one.
bool is_ord_outpoint_at(const std::string& address, const Utxo& coin);
// The same for a coin of unknown address (a change coin): listed by any entry of any age, or a
// 1-sat coin while the failure flag is fresh.
bool is_ord_outpoint_any(const Utxo& coin);

// Satoshis of miner fee for an estimate-form size: size / 10 rounded up, at least 1.
std::int64_t fee_for_size(std::size_t size);
// Bytes a CompactSize integer takes.
std::size_t compact_size_bytes(std::uint64_t value);
// Estimate-form size of a transaction with this many (valid) inputs and these outputs; equal to
// serialize_tx(inputs, outputs, true).size() without serialising.
std::size_t estimate_tx_size(std::size_t input_count, const std::vector<TxOutput>& outputs);

// One collection of spendable coins in progress. The reserved set, the avoided keys and the
// change-coin keys are read once when the collection starts.
struct UtxoCollection {
    std::vector<TxInput> inputs;
    std::uint64_t total = 0;
    ReservedSet reserved;                   // reserve files and offer locks
    std::unordered_set<std::string> avoid;  // the caller's reserve keys, normalised
    std::unordered_set<std::string> taken;  // outpoint keys of collected inputs, both byte orders
    std::unordered_set<std::string> change; // outpoint keys of listed change coins, both byte orders
    bool defer_change_removal = false;      // add_change_candidates removes its coins in one pass
};

// Starts a collection: reads the reserve files and offer locks once and indexes the change coins
// and the avoid list. False when a reserve or offer-lock file stays unreadable, with the reserve
// module's refusal in `error` less its "error: " prefix (callers add it, as for every text here),
// and so while a damaged spent file holds every coin (spent_file_hold_text).
bool begin_utxo_collection(UtxoCollection& collection, const std::vector<std::string>* avoid, std::string& error);

// Offers one coin; appends a TxInput with these keys unless the coin is malformed, spent, an
// ordinal, reserved, locked, avoided or already collected. A collected coin leaves the change list.
void add_utxo_candidate(UtxoCollection& collection, const Utxo& coin, const std::string& priv_hex,
                        const std::string& pub_hex, const Hash160& hash160, const std::string& address);
// Offers every change coin, each with its own keys or else those of the wallet key that owns its
// hash160; a coin no wallet key owns is passed over.
void add_change_candidates(UtxoCollection& collection);

// The wallet's spendable coins, confirmed first and then largest first. False when none was
// collected; also false, with the reserve module's refusal in `error` (see begin_utxo_collection),
// when a reserve or offer-lock file exists but cannot be read. `avoid` (may be null) lists reserve
// keys to leave out.
bool collect_spendable_utxos(std::vector<TxInput>& inputs, std::uint64_t& total, std::string& error,
                             const std::vector<std::string>* avoid = nullptr);

// A selection in progress; `outputs_bytes` is the estimate-form share of the outputs (their count
// and every output), kept so the size is known without serialising.
struct PaymentSelection {
    std::vector<TxInput> inputs;
    std::vector<TxOutput> outputs;
    std::uint64_t total = 0;
    std::size_t outputs_bytes = 1;
};

// Estimate-form size of the selection as it stands.
std::size_t selection_size(const PaymentSelection& selection);

// Appends the candidate when its txid is 64 hex digits and adds its value to the total; false,
// with nothing changed, otherwise.
bool try_add_input(PaymentSelection& selection, const TxInput& candidate);

// Chooses inputs from the sorted candidates (the first `forced` always) to pay `requested` and the
// fee, and appends change to the change hash160 after the requested outputs. A change output of
// less than 2 sats is not made: its excess goes to `fee`, the transaction's whole fee, never below
// the rate. On success the candidates become the chosen inputs and `outputs` the outputs to sign.
// False with a text in
// `error` ("nothing to pay.", "invalid inscription output.", "could not include inscription
// input.", "failed to build transaction." or the insufficient-funds text).
bool build_payment_tx(std::vector<TxInput>& candidates, std::vector<TxOutput>& outputs, const Hash160& change_hash160,
                      const std::vector<TxOutput>& requested, std::int64_t& fee, std::string& error,
                      std::size_t forced = 0);
