// Token inscriptions of the bsv-20 family (ticker and id tokens both carry "p" "bsv-20"), amount
// texts of any length, and the small look-ups over the wallet's local ordinal list and over
// listing rows.
#pragma once

#include "ordinals/ord_row.h"
#include "wallet/codecs.h"
#include "wallet/kv_cofferly_wallet.h"

#include <nlohmann/json.hpp>

#include <string>
#include <unordered_set>
#include <vector>

// The members of one token inscription's JSON; every field starts empty.
struct TokenInscription {
    std::string op;
    std::string id;  // token id an id-based inscription names
    std::string amt; // normal-form decimal digits; empty when absent or not a usable number
    std::string sym;
    std::string dec; // decimals as text
    std::string icon;
    std::string name; // through clip_ord_name
};

// True when `content` is a bsv-20 JSON inscription with an amount of decimal digits. A wrong member
// type ends the reading with false; fields read before it keep their values.
bool parse_token_json(const Bytes& content, TokenInscription& out);

// The "amt" member as decimal text: a string unchanged, a non-negative integer written out; else "".
std::string json_token_amt(const nlohmann::json& value);

// The "dec" member as text: a string unchanged, any integer written out (negative too); else "".
std::string json_token_dec(const nlohmann::json& value);

// Trims blanks and tabs and drops leading zeros ("0" stays); "" when empty or not all digits.
std::string normalize_token_amount(std::string amount);

// Sum of two amount texts in normal form; an empty or invalid text counts as zero.
std::string add_decimal_strings(const std::string& a, const std::string& b);

// The loaded wallet's local ordinal whose origin equals `key` byte for byte, or null. The caller
// holds the wallet mutex while it uses the pointer.
LocalOrd* find_local_ord(const std::string& key);

// Appends a copy to the local ordinal list; false for an empty or already listed origin. Under the
// caller's wallet mutex.
bool add_local_ord(const LocalOrd& ord);

// True when two ordinal keys denote the same coin (equal texts, or equal outpoints in either byte
// order and letter case; a bare txid stands for output 0).
bool ord_keys_match(const std::string& a, const std::string& b);

// The same text for two keys exactly when ord_keys_match takes them for equal, to hash keys by.
std::string ord_match_key(const std::string& key);

// The first row whose key matches `key` by ord_keys_match, or null.
const KvCofferlyOrdRow* find_row_by_key(const std::vector<KvCofferlyOrdRow>& rows, const std::string& key);

// The token id in the entry's cached content (no network), else its origin.
std::string local_ord_token_id(const LocalOrd& ord);

// True when some local entries refer to `key` (by origin, else by token id) and all are hidden.
bool local_ord_all_hidden(const std::string& key);

// Drops the local records of an output the index lists without an ordinal: a placeholder recorded
// for it (never inscribed here and still without any detail), or, for an output of more than one
// satoshi, which carries no ordinal at all, every record of that very output (but not one that
// merely shares the origin the index gave it). True when the list changed; under the wallet mutex.
bool drop_plain_output_records(const std::string& key, const std::string& txid, std::uint32_t vout, bool multi_sat);

// Drops the placeholders (records never inscribed here and without any detail) at an address whose
// output listing was read whole that the listing no longer names (`listed`, outpoint_key form):
// their outputs were spent, or were never ordinals. True when the list changed; under the wallet
// mutex.
bool drop_unlisted_placeholders(const std::vector<std::string>& reached, const std::unordered_set<std::string>& listed);

// Shows a hidden record again when the index lists its coin at `address`, one of the wallet's, on
// another output than the record's and one this wallet has not spent: the coin was passed away and
// came back. The record then follows the coin. True when it changed; under the wallet mutex.
bool show_returned_coin(LocalOrd& local, const std::string& txid, std::uint32_t vout, const std::string& address);
