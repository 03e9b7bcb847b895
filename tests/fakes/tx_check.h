// The fake ledger's own check of a submitted transaction: a separate small parser and FORKID
// digest (sharing nothing with chain/ but the hash functions) and libsecp256k1 verification, so
// that whatever the product signs is judged by code that did not sign it.
#pragma once

#include "wallet/crypto.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

struct CheckedInput {
    std::string prev_txid;
    uint32_t prev_vout = 0;
};
struct CheckedOutput {
    uint64_t sats = 0;
    Bytes script;
};
struct CheckedTx {
    std::string txid;
    std::vector<CheckedInput> inputs;
    std::vector<CheckedOutput> outputs;
    Bytes raw;
};

// Looks up a previous output: false when it is unknown.
using PrevOutputLookup = std::function<bool(const std::string& txid, uint32_t vout, uint64_t& sats, Bytes& script)>;

// Previous outputs a test sets by txid and index; its lookup refers to the map, so the map must
// outlive the check.
struct PrevOutputMap {
    std::map<std::pair<std::string, uint32_t>, CheckedOutput> coins;
    PrevOutputLookup lookup() const;
};

// Parses the transaction and runs every input's unlocking script against the locking script of the
// output it spends (script_check.h). False with a short reason ("bad-txns", "Missing inputs",
// "mandatory-script-verify-flag-failed (...)") on failure.
bool check_transaction(const Bytes& raw, const PrevOutputLookup& lookup, CheckedTx& out, std::string& reason);

// The checker's FORKID digest (hash byte order) of input `index` of `raw` over `script_code` and
// `amount`, for any hash type. False when `raw` does not parse or `index` is out of range.
bool check_forkid_digest(const Bytes& raw, std::size_t index, const Bytes& script_code, uint64_t amount,
                         uint32_t hash_type, Hash256& digest);
