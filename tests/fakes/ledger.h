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

private:
    struct Entry {
        LedgerTx tx;
        int lag_left = 0;
    };
    bool visible(const Entry& e, bool visible_only) const;
    LedgerOutput view_output(const LedgerOutput& out, bool visible_only) const;
    std::string add_funding(const std::vector<std::pair<Bytes, std::uint64_t>>& outputs, bool confirmed);

    mutable std::mutex mutex_;
    std::map<std::string, Entry> txs_;
    std::int32_t tip_ = 100;
    std::uint64_t next_seq_ = 1;
    int lag_ = 0;
    std::uint64_t min_fee_ = 0;
};

// True when the script carries an inscription envelope (OP_FALSE OP_IF "ord").
bool script_has_inscription(const Bytes& script);
