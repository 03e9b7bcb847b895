// The signed "KV-Art" records of the art registry and the carrier they travel in: the first push
// after OP_RETURN in an output of a transaction that pays a watch address. Pure readers of
// transaction JSON and script hex: none throws, none keeps state, all are safe on many threads.
#pragma once

#include "identity/typed_message.h"
#include "wallet/codecs.h"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <string>
#include <vector>

// The record protocol, compared case-sensitively, and the location every record carries.
constexpr const char* kArtProtocol = "KV-Art";
constexpr const char* kArtLocation = "art";

// The registry watches: their keys in the platform's oracle index and their fixed addresses.
// Every art_pair pays both; every art_owner pays the title watch.
constexpr const char* kPairWatchKey = "zuz";
constexpr const char* kPairWatchAddress = "1CmwDj2sWUhVaw75vYFUTce8yD6aUtHLf5";
constexpr const char* kTitleWatchKey = "otx";
constexpr const char* kTitleWatchAddress = "12jzpGUVy64vyXk9jKrJPWjaaYHBSdfwBh";

// The text every registry action gives when a registry watch address is empty (without "error: ").
constexpr const char* kWatchesNotAssignedText =
    "ZUZ and OTX watches are not assigned yet. Pair and pass wait until Orrin pins both addresses.";

// One signed "KV-Art" record, serialised as compact JSON in its carrier.
using ArtMessage = TypedMessage;

// One verified record read at a watch address.
struct WatchRecord {
    std::string txid;                      // carrying transaction, 64 lower-case characters
    ArtMessage msg = ArtMessage::object(); // the record
    nlohmann::json tx;                     // the carrying transaction as fetch_tx_json gave it
    std::int64_t ts = 0;                   // the record's own time, always above 0 once read
    std::int64_t listed = 0;               // position in the watch's listing, first listed first
};

// The start of a new record: protocol, type, location and handle (the wallet's paymail alias, or
// "" when no wallet loads). Takes the wallet mutex for the alias.
ArtMessage new_art_message(const std::string& type);

// The text without leading and trailing white space.
std::string art_trim_copy(std::string text);

// Trimmed and lower-cased; an origin "<64 chars>_<n>" is cut to its transaction id.
std::string norm_txid(const std::string& text);

// The data of the first push after OP_RETURN (one leading OP_FALSE allowed) in a locking script
// given as hex. False (out empty) for malformed hex, no OP_RETURN, an empty push, another opcode
// or a push that runs past the script.
bool op_return_first_push(const std::string& script_hex, Bytes& out);

// The first output record whose protocol is "KV-Art"; false when the transaction has none.
bool find_art_message_in_tx(const nlohmann::json& tx, ArtMessage& out);

// The output's address from scriptPubKey (first of `addresses`, else `address`); "" when none.
std::string vout_address(const nlohmann::json& vout);

// The output's value in satoshis from `valueSat`, else from `value` in BSV rounded; 0 when absent.
std::int64_t vout_value_sats(const nlohmann::json& vout);

// True when an output pays at least 1 sat to the address, or when no output names an address at
// all. False for an empty address or a transaction without a `vout` array.
bool tx_pays_address(const nlohmann::json& tx, const std::string& address);

// Whether the record's signature verifies under the key it carries (verify_channel_message). A
// record's text fixes the answer, so each is verified once a process; later asks of the same text
// are answered from memory (a bounded count of answers). Safe on many threads at once.
bool verify_art_record(const ArtMessage& msg);

// The record's `ts` (integer, float truncated, or decimal text); 0 when absent or unreadable.
std::int64_t json_ts(const nlohmann::json& msg);

// The signer's identity key: `pubkey`, else `publicKey`, lower-cased; "" when neither is text.
std::string json_identity_pubkey(const nlohmann::json& msg);

// SHA-256 as 64 lower-case hex digits.
std::string sha256_hex(const Bytes& data);
std::string sha256_hex(const std::string& data);

// Appends the lower-cased text when it has exactly 64 characters and is not listed yet.
void append_txid_unique(std::vector<std::string>& list, const std::string& text);

// Transaction ids of a watch listing reply: a bare array, or the first of `result`, `txids`,
// `history` that is an array; each item a text or an object with `tx_hash` or `txid`.
void parse_watch_txids(const nlohmann::json& reply, std::vector<std::string>& list);
void parse_watch_txid_item(const nlohmann::json& item, std::vector<std::string>& list);

// Orders records by ts, then by transaction id.
void sort_watch_records(std::vector<WatchRecord>& records);
