// The balance the windows show: the spendable balance from the local coin state, the rule that
// keeps the shown figure at the expected value while the services lag behind a payment, and the
// per-wallet face file that gives the status line a figure right after a restart. Also the
// address-history reader and the satoshis of an output, shared with the recent-transaction scan.
#pragma once

#include "chain/coin_state.h"

#include <nlohmann/json_fwd.hpp>

#include <cstddef>
#include <cstdint>
#include <string>
#include <unordered_set>
#include <vector>

// Collects transaction ids of one address across several history listings.
struct HistoryContext {
    std::vector<std::string> out; // ids collected so far
    std::int32_t limit = 0;       // the most ids wanted
    std::string address;
    std::unordered_set<std::string> seen; // kept by the caller across its calls for one address
    bool unconfirmed_read = false;        // "/unconfirmed/history" answered with a list
    bool confirmed_read = false;          // "/confirmed/history" answered with a list
};

// Appends to context.out the new ids of "/address/<address>" + suffix, newest (last listed)
// first, until limit ids are held. A failed request or an unreadable reply adds nothing. The
// combined "/history" is not asked once both of its halves were read for this context: it could
// name no id they did not.
void woc_address_history(HistoryContext& context, const std::string& suffix);

// Adds the ids of one history listing, in block order (oldest first), to context as
// woc_address_history adds those of its reply, and marks the suffix's half as read.
void add_history_ids(HistoryContext& context, const std::vector<std::string>& ids, const std::string& suffix);

// The most addresses one bulk history request takes (WhatsOnChain's documented limit).
constexpr std::size_t kBulkHistoryAddresses = 20;

// Both history halves of one address from a bulk reply, ids as listed.
struct BulkHistory {
    bool answered = false; // both halves were listed whole
    std::vector<std::string> unconfirmed;
    std::vector<std::string> confirmed;
};

// One POST for the mempool and mined history of up to 20 addresses, out[i] for addresses[i]. An
// address the reply leaves out, lists with an error or with a page token stays unanswered. False
// when the request failed, the reply is no list, or a half is as long as the service's cap and
// may have been cut; the one-address listings are the fallback then.
bool woc_bulk_history(const std::vector<std::string>& addresses, std::vector<BulkHistory>& out);

// Satoshis of an output as the services write it: "satoshis", else "value" in BSV; 0 when
// neither is a number.
std::int64_t json_sats(const nlohmann::json& output);

// The spendable balance from cached data only: the main address's coins, change coins and the
// house-oracle coins this wallet holds, less spent and ordinal outputs; -1 when nothing is known.
// The caller holds the wallet mutex.
std::int64_t spendable_balance_sats();

// Satoshis of the coins the spendable balance leaves out only because they are held for a spent
// file found damaged (or a previous version's marks) until a listing shows them unspent; 0 when
// none. The caller holds the wallet mutex.
std::int64_t held_balance_sats();

// Adds the coin to total unless it is spent, held back as an ordinal (at address, or anywhere when
// address is empty) or already counted in either byte order.
void add_balance_coin(const Utxo& coin, const std::string& address, std::unordered_set<std::string>& counted,
                      std::int64_t& total);

// The displayed-balance state. Read it through displayed_balance(), which never waits for the
// wallet mutex.
struct DisplayedBalance {
    std::int64_t shown = -1;    // last figure shown; -1 none
    std::int64_t expected = -1; // balance expected after the last payment; -1 none
    std::int64_t send_ns = 0;   // steady-clock time of that payment
};
DisplayedBalance displayed_balance();
// Back to no figure and no expected value (wallet session clear).
void reset_displayed_balance();

// The figure to show for a fetched balance, sent being the satoshis of a payment just made (0 or
// less: none). Stores it and, unless `save_face` is false, writes the face file; a negative fetched
// value passes through and changes nothing. The caller holds the wallet mutex.
std::int64_t shown_balance(std::int64_t fetched, std::int64_t sent, bool save_face = true);

// After a successful payment: updates the shown figure and hands the "[KV-BALANCE]" line to the
// status sink. Does nothing while standard output is a terminal. The caller holds the wallet mutex.
void note_balance_after_send(std::int64_t sent);

// data folder + "/tx_hist/" + wallet file stem + "_face.json".
std::string history_face_path();
// Writes the face file for the main address; nothing for a negative balance or no address.
void save_history_face(std::int64_t sats);
// The same for the face file at `path` of `address`: a caller that read both under the wallet mutex
// writes, and flushes, without it.
void write_history_face(const std::string& path, const std::string& address, std::int64_t sats);
// The stored figure when the face file was written for this address, else -1.
std::int64_t load_history_face(const std::string& address);
// The last shown figure of the current wallet, or its face file, or -1. Answers from the kept
// copies while another thread holds the wallet mutex.
std::int64_t cached_history_face();
