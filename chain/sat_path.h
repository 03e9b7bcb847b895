// Where one satoshi travels, as 1Sat ordinals follow it: through each transaction that spends the
// output holding it, into the output whose range covers its position among the inputs (first in,
// first out), for as long as it stays in an output of 1 sat. The one place the program follows a
// coin; what a coin's path means (a title, a sale) is decided by the layers above.
#pragma once

#include <nlohmann/json.hpp>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// The output that holds the satoshi and its place within that output.
struct SatPlace {
    std::string txid; // lower-case hex
    std::uint32_t vout = 0;
    std::uint64_t offset = 0;
};

// Where the walk reads the chain; the caller decides which copies and services answer.
struct SatPathReader {
    // The transaction's JSON with "vin" and "vout" arrays, or null when it cannot be read. The
    // pointer stays valid for the whole walk.
    std::function<const nlohmann::json*(const std::string& txid)> tx;
    // Reads many transactions ahead of `tx` asking for them one by one; may do nothing.
    std::function<void(const std::vector<std::string>& txids)> prefetch;
    // The spender of an output, with woc_spent_by's codes: 0 spent (spender set), 1 unspent,
    // 2 could not tell, 3 transaction unknown.
    std::function<int(const std::string& txid, std::uint32_t vout, std::string& spender)> spent_by;
};

enum class SatPathEnd {
    unspent,    // `at` holds the satoshi now (or the service knows no spender, or not its transaction)
    gone,       // paid to the miner, or merged into an output of more than 1 sat
    unreadable, // a spender or a transaction on the way could not be read
    too_long,   // more hops than the caller allowed
};

struct SatPath {
    std::vector<std::string> txids; // the transactions that moved the satoshi, oldest first
    SatPlace at;                    // the last output it reached
    SatPathEnd end = SatPathEnd::unspent;
};

// Follows the satoshi at `start` through at most `max_hops` spending transactions; `path` is
// replaced. `path.end` tells why the walk stopped.
void follow_sat(const SatPlace& start, const SatPathReader& reader, int max_hops, SatPath& path);

// One hop: where the satoshi at `from` lands in `spender` (`to.txid` left for the caller). False when the transaction
// does not spend it, is malformed, or an input before it cannot be valued; `gone` is set when it went to the miner or
// into an output of more than 1 sat.
bool sat_hop(const nlohmann::json& spender, const SatPlace& from, const SatPathReader& reader, SatPlace& to,
             bool& gone);

// Where a satoshi lands by first in, first out: the output of `vout` (a transaction's output
// array) whose range holds the satoshi at `position` of the inputs, and the offset within it.
// False when the position lies past the outputs (the satoshi went to the miner) or the outputs
// are malformed.
bool ordinal_output(const nlohmann::json& vout, std::uint64_t position, std::uint32_t& index, std::uint64_t& offset);
