// Outpoint keys, transaction-id byte orders, the process-wide set of outpoints this program has
// spent itself, and the table of the platform's house-oracle addresses. The spent set has no lock
// of its own: every caller holds the wallet mutex. Another process on the same data folder shares
// it through its file, read and written under a file lock (chain/coin_snapshots.h).
#pragma once

#include "chain/tx.h"

#include <array>
#include <cstdint>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

// Lower-cased txid, ":" and the index in decimal (as a signed 32-bit number). The txid is not
// checked.
std::string outpoint_key(const std::string& txid, std::uint32_t vout);

// The other byte order of a 64-character txid, lower-cased; "" for any other length. The
// characters are not checked to be hex digits.
std::string reverse_txid_hex(const std::string& txid);

// True for exactly 64 hex digits of either case.
bool is_txid_hex(const std::string& s);

// The spent set: keys as outpoint_key makes them, or as "_spent.json" stored them.
std::unordered_set<std::string>& spent_outpoints();

// True when the outpoint is in the spent set in either byte order. Does not read the file.
bool is_outpoint_spent(const std::string& txid, std::uint32_t vout);

// Merges the stored set, adds the outpoint in both byte orders and writes the set back.
void mark_outpoint_spent(const std::string& txid, std::uint32_t vout);

// The same for the outpoints of inputs[from..], with one read and one write of the stored set; false
// when the set could not be written (save_spent_outpoints).
bool mark_inputs_spent(const std::vector<TxInput>& inputs, std::size_t from = 0);

// Takes the outpoint key out of the spent set in both byte orders; true when either was there.
// Neither reads nor writes the file; the next save writes a give-back for it, so that another
// process's older copy of the set does not mark it spent again.
bool unmark_spent_key(const std::string& key);

// Every mark and give-back of a coin counts up that coin's own number: of two, the later is the
// one with the higher count, whatever the clocks said when they were made. A give-back also keeps
// the system time it was made, which says only how long the file keeps it.
struct GivenBack {
    std::int64_t count = 0;
    std::int64_t at_ms = 0;
};

// The spent set as a file holds it. A mark stored without a count has the count 1.
struct StoredSpentSet {
    std::vector<std::string> marks;
    std::unordered_map<std::string, std::int64_t> counts; // marks counted above 1
    std::unordered_map<std::string, GivenBack> given_back;
};

// Takes a stored set in. What it says of a coin stands, unless this process changed the coin since
// its last save at a count as high or higher (at one count the mark stands: the coin stays out). A
// coin it does not name keeps what this process knows, or, with `take_files_word` (this copy may
// hold coins given back since that the file no longer names), is forgotten. Call after the unsettled
// rows were taken in: every coin an unsettled row names is spent afterwards.
void merge_stored_spent(const StoredSpentSet& stored, bool take_files_word);

// The give-backs this process knows of (the coins are not in the spent set), and the counts above
// 1 of the coins in it; both are written with the set.
std::unordered_map<std::string, GivenBack>& given_back_outpoints();
const std::unordered_map<std::string, std::int64_t>& spent_counts();

// Empties the spent set, the unsettled rows and every change not yet saved (a session clear).
void clear_spent_state();

// The inputs of a transaction that went to every service and is not known to have been sent: they
// stay in the spent set until a listing and the services show it never went out. Kept with the
// spent set (the wallet mutex guards both).
// A previous version kept inputs out without naming the transaction: such a row has an empty txid.
struct UnsettledInputs {
    std::string txid;
    std::int64_t unsettled_at_ms = 0;   // system clock
    std::vector<std::string> outpoints; // outpoint keys of its inputs
    std::int64_t asked_at_ms = 0;       // steady clock of the last look-up; not stored
};
std::vector<UnsettledInputs>& unsettled_inputs();

// True when an unsettled row names the outpoint key, in either byte order.
bool unsettled_names(const std::string& key);

// Adds or drops an unsettled row, remembering the change for the next save: unsettled rows are replaced by
// the file's on every load, so a row another process resolved does not come back from here.
void add_unsettled(UnsettledInputs row);
void drop_unsettled(const std::string& txid, const std::vector<std::string>& outpoints);
// Replaces the unsettled rows by the stored ones with this process's unsaved changes on top; the time
// each row was last asked about is kept.
void take_stored_unsettled(std::vector<UnsettledInputs> stored);
// The rows to store: `stored` (the file's) with this process's unsaved changes on top.
std::vector<UnsettledInputs> unsettled_to_store(std::vector<UnsettledInputs> stored);
// Forgets the unsaved changes once a save wrote them.
void note_spent_saved();

// Copies the unsettled transactions' ids where inputs_unsettled reads them; call after any change of
// unsettled_inputs() (the caller holds the wallet mutex).
void note_unsettled_changed();

// True while the inputs of `txid` are unsettled: the services have shown neither that it went out nor
// that it never did. Never waits for the wallet mutex, so the window thread may ask.
bool inputs_unsettled(const std::string& txid);

// Same index and the same txid in either byte order, case ignored.
bool outpoint_equal(const std::string& txid_a, std::uint32_t vout_a, const std::string& txid_b, std::uint32_t vout_b);

struct HouseOracleRow {
    std::string id;
    std::string name;
    std::string tag;
    std::string addr1;
    std::string addr2;
    std::string addr3;
};

// The platform's three house oracles, in table order.
const std::array<HouseOracleRow, 3>& house_oracles();

// True when the address is the addr1 or addr3 of a house oracle (exact, case significant).
bool is_house_oracle_address(const std::string& address);
