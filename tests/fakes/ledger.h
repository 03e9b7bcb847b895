// One in-memory chain shared by every fake service of a test: transactions by id, their outputs
// with spender and 1Sat origin (followed first in, first out by satoshi position), a mempool that
// mine() confirms, and the refusals a node gives ("txn-already-known", "txn-mempool-conflict",
// "Missing inputs", "dust", ...). Every input of a broadcast transaction has its unlocking and the
// spent locking script run by tx_check before any coin moves. Thread-safe: the fakes answer on
// their own threads.
#pragma once

#include "wallet/codecs.h"

#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

struct LedgerOutput {
    std::string txid; // lower-case, display order
    std::uint32_t vout = 0;
    std::uint64_t sats = 0;
    Bytes script;
    std::string address;     // P2PKH address of the script; empty for any other script
    std::int32_t height = 0; // of the creating transaction; 0 = mempool
    std::string spent_by;    // spending transaction; empty while unspent (or while the spender lags)
    std::uint32_t spent_by_input = 0;
    std::int32_t spent_height = 0; // of the spender; 0 = mempool
    std::string origin;            // 1Sat origin "txid_vout"; empty when the output carries none
};

struct LedgerInput {
    std::string prev_txid;
    std::uint32_t prev_vout = 0;
};

struct LedgerTx {
    std::string txid;
    Bytes raw;
    std::int32_t height = 0; // 0 = mempool
    bool coinbase = false;   // a funding transaction of the test
    std::vector<LedgerInput> inputs;
    std::vector<LedgerOutput> outputs;
    std::uint64_t seq = 0; // order in which the ledger took it
};

// One row of an address's history as the history routes list it.
struct LedgerHistoryRow {
    std::string txid;
    std::int32_t height = 0; // 0 = mempool
};

// Where a history row stands: by block, then by the order the ledger took it.
struct LedgerHistoryKey {
    std::int32_t height = 0;
    std::uint64_t seq = 0;
};

// Which rows of an address's history a page holds.
struct LedgerHistoryQuery {
    bool mempool = false;      // the mempool's rows (by the order taken), else the mined ones
    bool newest_first = false; // else oldest first
    std::int32_t height = 0;   // positive: rows at this height and later (newest_first: and earlier)
    bool after_set = false;    // rows past `after` only, in the page's direction
    LedgerHistoryKey after;
    std::size_t limit = static_cast<std::size_t>(-1);
};

struct Ledger {
    // A coinbase-like transaction paying `sats` to an address (or to a locking script given in
    // hex), mined at once when confirmed. Returns its txid (output 0); "" for an unusable target.
    std::string fund(const std::string& address_or_script_hex, std::uint64_t sats, bool confirmed = true);
    // The same with several outputs, in order.
    std::string fund_outputs(const std::vector<std::pair<Bytes, std::uint64_t>>& outputs, bool confirmed = true);

    // Takes a broadcast transaction into the mempool. False with the node's own words when it is
    // refused; nothing changes then. `txid` receives the id on success.
    bool accept(const Bytes& raw, std::string& reason, std::string* txid = nullptr);

    // Confirms the whole mempool in one new block; returns its height.
    std::int32_t mine();
    // Takes a mined transaction back into the mempool, as a reorganisation that dropped its block
    // does; the next mine() puts it in a new block. False when it is unknown or not mined.
    bool unmine(const std::string& txid);
    std::int32_t tip() const;

    // Transactions taken from now on stay unlisted for the next n look-ups.
    void set_lag(int lookups);
    // One look-up by a service has been answered: lagging transactions count it.
    void note_lookup();
    // Smallest fee a broadcast must pay (default 0: only a negative fee is refused).
    void set_min_fee(std::uint64_t sats);

    // Read access. With visible_only, a lagging transaction does not exist, and an output whose
    // spender lags reads as unspent.
    bool find_tx(const std::string& txid, LedgerTx& out, bool visible_only = true) const;
    bool find_output(const std::string& txid, std::uint32_t vout, LedgerOutput& out, bool visible_only = true) const;
    std::string spender_of(const std::string& txid, std::uint32_t vout, bool visible_only = true) const;
    std::string origin_of(const std::string& txid, std::uint32_t vout) const;
    std::vector<LedgerOutput> outputs_of_script(const Bytes& script, bool include_spent,
                                                bool visible_only = true) const;
    std::vector<LedgerOutput> outputs_of_address(const std::string& address, bool include_spent,
                                                 bool visible_only = true) const;
    // Outputs whose locking script passes `match` (called under the ledger's mutex; it must not
    // call the ledger), in the order the ledger took their transactions.
    std::vector<LedgerOutput> outputs_where(const std::function<bool(const Bytes& script)>& match, bool include_spent,
                                            bool visible_only = true) const;
    // Transactions that pay the address or spend from it, in the order the ledger took them.
    std::vector<LedgerTx> history_of_address(const std::string& address, bool visible_only = true) const;
    std::vector<std::string> mempool_txids() const;

    // Strangers' payments, made cheaply: `count` mined transactions that each pay 1 sat to the
    // address (and change to a stranger), `per_block` to a block from `first_height` (0: the block
    // after the tip), each after what its block already holds; the tip moves to the last. Their
    // ids and transactions are made on request, so a million cost about 16 MB. They show in
    // history_page, block_txids, find_tx and find_output, not in the output listings nor in
    // history_of_address. Returns the last block's height.
    std::int32_t add_payments(const std::string& address, std::uint64_t count, std::int32_t first_height = 0,
                              std::uint64_t per_block = 1000);
    // One page of the address's history (visible transactions only); `more` tells whether rows
    // remain past it and `last` where its last row stands.
    std::vector<LedgerHistoryRow> history_page(const std::string& address, const LedgerHistoryQuery& query, bool& more,
                                               LedgerHistoryKey& last) const;
    // The ids of a mined block in block order.
    std::vector<std::string> block_txids(std::int32_t height) const;

private:
    struct Payments {
        Bytes script;
        std::uint64_t tag = 0;
        std::uint64_t count = 0;
        std::uint64_t per_block = 1;
        std::int32_t first_height = 0;
        std::uint64_t first_seq = 0;
        std::vector<std::pair<std::uint64_t, std::uint32_t>> by_id; // id's first 8 bytes, index; sorted
        LedgerHistoryKey key(std::uint64_t i) const;
        Bytes raw(std::uint64_t i) const;
        LedgerTx tx(std::uint64_t i) const;
    };
    bool find_payment(const std::string& txid, LedgerTx& out) const;

    struct Entry {
        LedgerTx tx;
        int lag_left = 0;
    };
    bool visible(const Entry& e, bool visible_only) const;
    bool touches(const Entry& e, const Bytes& script) const; // pays the script or spends from it
    LedgerOutput view_output(const LedgerOutput& out, bool visible_only) const;
    std::string add_funding(const std::vector<std::pair<Bytes, std::uint64_t>>& outputs, bool confirmed);

    mutable std::mutex mutex_;
    std::map<std::string, Entry> txs_;
    std::int32_t tip_ = 100;
    std::uint64_t next_seq_ = 1;
    int lag_ = 0;
    std::uint64_t min_fee_ = 0;
    std::vector<Payments> payments_;
};

// True when the script carries an inscription envelope (OP_FALSE OP_IF "ord").
bool script_has_inscription(const Bytes& script);
