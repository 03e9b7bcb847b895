// What the program knows about its coins before the chain services show it: the change coins of
// its own transactions and (with chain/outpoints.h) the outpoints it has spent, kept per wallet
// in "ord_snap" under the data folder. Everything here runs with the wallet mutex held.
#pragma once

#include "chain/coin_state.h"
#include "wallet/codecs.h"

#include <cstdint>
#include <string>
#include <unordered_set>
#include <vector>

// An output of one of the wallet's own transactions that pays a wallet key.
struct ChangeCoin {
    std::string txid;
    std::uint32_t vout = 0;
    std::int64_t sats = 0;
    std::int32_t height = 0; // 0 for coins this program created
    std::string priv_hex;    // the paying key; looked up again on load, never stored
    std::string pub_hex;
    Hash160 hash160{};
};

// The coin as a listing would show it (no keys).
Utxo utxo_of(const ChangeCoin& coin);

// The process-wide change-coin list, in the order coins were learned.
std::vector<ChangeCoin>& change_coins();

// Wipes the keys the change coins carry and empties the list.
void clear_change_coins();

// Names a wallet's files: the wallet id, else the identity address, else the main address, with
// every byte other than an ASCII letter or digit made "_", cut to 80 bytes; "wallet" when all
// three are empty.
std::string wallet_file_stem_of(const std::string& wallet_id, const std::string& identity_address,
                                const std::string& address);

// The stem of the current wallet (takes the wallet mutex).
std::string wallet_file_stem();

// data folder + "/ord_snap/" + stem + "_spent.json" and "_change.json".
std::string spent_file_path();
std::string change_file_path();

// Write the whole in-memory list to the wallet's file (nothing for the stem "wallet", nor over a
// damaged spent file that could not be moved aside). The spent file is read again and merged under
// its file lock before it is replaced, so no mark or tombstone another process wrote is lost. False
// when nothing was written (no wallet named, a damaged file, the lock not taken, the folder refusing
// writes): the old file stays and this process's changes wait for the next save.
bool save_spent_outpoints();
void save_change_coins();

// Merge the wallet's file into memory; a missing file changes nothing, nor does a malformed change
// file. A spent file that reads twice as damaged (not an object naming its "outpoints") is set
// aside (set_aside_damaged_file), an "error" status event tells the user, and every coin is held
// (spent_file_hold_text). Nothing is merged when the file's lock cannot be taken.
void load_spent_outpoints();

// Spent marks of a file a previous version wrote, which held the inputs of a transaction not known
// to have been sent with a mark alone: the release tells them apart (once each) by the listings.
std::unordered_set<std::string>& legacy_spent_marks();
// The release took this mark in as an unsettled row; the next save stops listing it.
void note_legacy_mark_taken(const std::string& key);

// Why no coin of the wallet may be spent: its spent file was found damaged (or could not be moved
// aside), so any coin may have been named by it, until a Refresh holds the coins its listings show
// (end_spent_file_hold). "" when none is held so; the text has no "error: " prefix.
std::string spent_file_hold_text();
// The listings were read whole and their coins held: the wallet's coins may be spent again as
// their holds end. Does nothing while the damaged file could not be moved aside.
void end_spent_file_hold();

// What the user is to be told of a spent file found damaged since the last call, once; "" when
// nothing is.
std::string take_spent_file_notice();
void load_change_coins();
