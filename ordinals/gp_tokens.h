// GorillaPool's view of the wallet's bsv-20 and bsv-21 holdings: the token reply of an address,
// the token fields of one GorillaPool item, and the amounts and decimals of the unspent token
// outputs of the current listing, remembered by outpoint so that listing rows can be filled.
#pragma once

#include "ordinals/ord_row.h"
#include "ordinals/token_records.h"
#include "wallet/kv_cofferly_wallet.h"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <string>

// GorillaPool's answers for one watch address of the ordinal listing.
struct AddressTxoLookup {
    std::string address;
    std::string txos_reply;                         // body of the address's output listing
    nlohmann::json bsv20 = nlohmann::json::array(); // the token reply, an array
    bool txos_ok = false;                           // the output listing request succeeded
    bool has_bsv20 = false;                         // the token request succeeded with an array
};

// True when "/bsv20/<address>/unspent" answered with a JSON array, which becomes the reply; the
// reply is an empty array otherwise. False at once for an empty address.
bool gp_bsv20_unspent(const std::string& address, nlohmann::json& reply, std::int32_t timeout_s);

// Token fields of one GorillaPool item (a txo record or a token reply entry), read from its
// "bsv20" or "bsv21" data, else from a bsv-20 inscription JSON. True when an id or amount was
// found; every output is emptied first.
bool parse_gp_token_item(const nlohmann::json& item, std::string& id, std::string& amount, std::string& name,
                         std::string& decimals, std::string& icon);

// The normalised amount of an item: its own "amt" or "balance", else that of its token data.
std::string gp_token_amount(const nlohmann::json& item);

// The decimals text of an item: its own "dec", else that of its token data.
std::string gp_token_dec(const nlohmann::json& item);

// The token id of an item: its own "id" when it is long enough to be one, else its token data's.
std::string gp_token_id(const nlohmann::json& item);

// Remembers the amount and decimals of one unspent token output under its outpoint (and under
// txid "_" vout); an item without an amount is ignored.
void index_token_outpoint(const nlohmann::json& item);

// Stores the amount (and non-empty decimals) under the lower-cased outpoint; outpoints shorter
// than a token id are ignored.
void remember_token_outpoint(const std::string& outpoint, const std::string& amt, const std::string& dec);

// The remembered amount or decimals for a row: by txid "_" vout when txid is 64 hex digits, else
// (or on a miss) by the key; "" when nothing is remembered.
std::string indexed_token_amt(const std::string& key, const std::string& txid, std::uint32_t vout);
std::string indexed_token_dec(const std::string& key, const std::string& txid, std::uint32_t vout);

// Forgets every remembered amount and decimals.
void clear_token_maps();

// A listing's use of the maps, from its start to its end. The maps start empty for a listing that
// runs alone; a listing that overlaps another shares them, since clearing them then would take the
// amounts from under the other (an output's token amount never changes, so sharing is sound).
struct TokenMapsUse {
    TokenMapsUse();
    ~TokenMapsUse();
    TokenMapsUse(const TokenMapsUse&) = delete;
    TokenMapsUse& operator=(const TokenMapsUse&) = delete;
};

// Fills the row's amt, dec and token_id from the remembered maps, the wallet's own record of the
// ordinal (may be null) and the row's parsed token inscription, in that order of preference.
void fill_row_token(KvCofferlyOrdRow& row, const TokenInscription& inscription, const LocalOrd* local);
