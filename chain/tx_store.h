// The mined transactions the program has read, in one store bounded by count and by size, shared
// by the coin side, the title walk and the gallery; reads of one transaction that are under way at
// the same moment are made once and shared. A copy of a transaction not yet in a block serves only
// readers that look at its inputs and outputs (which never change), not at its place in the chain.
#pragma once

#include <nlohmann/json.hpp>

#include <cstddef>
#include <functional>
#include <string>

// Reads a transaction's JSON into `tx`; false when it could not.
using TxFetch = std::function<bool(nlohmann::json& tx)>;

// The JSON of the transaction: the kept copy, else the answer of a read of it already under way,
// else what `fetch` reads (kept when it is the transaction of that id, mined, or not yet mined and
// `mempool_copy_will_do`). A kept copy from before the transaction was mined is served only when
// `mempool_copy_will_do`. The copies of one service base (`source`) are kept apart from another's.
// False, with `tx` null, when the read failed; a fetch that throws is a failed read.
bool tx_store_read(const std::string& source, const std::string& txid, const TxFetch& fetch, nlohmann::json& tx,
                   bool mempool_copy_will_do = false);

// Keeps a copy read by other means (a listing that carries whole transactions, a bulk read) on the
// same terms as a read's for a reader of blocks; does nothing when the store has it already.
void tx_store_keep(const std::string& source, const std::string& txid, const nlohmann::json& tx);

// The kept copy of a mined transaction, without asking anyone. False (tx null) when none is kept.
bool tx_store_find(const std::string& source, const std::string& txid, nlohmann::json& tx);

// Forgets every kept transaction.
void tx_store_clear();

// What the store holds now: transactions, and their size as counted against its bound; and the
// readers now waiting for the answer of a read that another reader started.
struct TxStoreUse {
    std::size_t txs = 0;
    std::size_t bytes = 0;
    std::size_t waiting = 0;
};
TxStoreUse tx_store_use();

// The bounds: at most this many transactions and this many bytes (as tx_store_use counts them);
// the least recently read go first.
constexpr std::size_t kTxStoreMaxTxs = 4096;
constexpr std::size_t kTxStoreMaxBytes = std::size_t(64) << 20;
