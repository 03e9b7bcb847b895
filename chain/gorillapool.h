// Readers of the "txo" records of the GorillaPool 1Sat ordinals API (origin, inscription and token
// data, content type, the art kind of the program's own inscriptions, the platform's identity
// records and credentials) and the list of an address's ordinal outpoints.
//
// The txo readers never throw. Where a member they need has the wrong JSON type (a numeric
// "outpoint", "app", "tag" or "type", ...) they give the empty result and set *malformed, so a
// caller that must treat such a record as unreadable can tell it from one without the data.
#pragma once

#include <nlohmann/json.hpp>

#include <cstdint>
#include <string>
#include <unordered_set>

// The origin outpoint ("txid_vout"): a string "origin", or the "outpoint" of an object "origin".
// Empty without an origin; there is no fallback to the txo's own outpoint.
std::string txo_outpoint(const nlohmann::json& txo, bool* malformed = nullptr);

// True when the txo's "data", or its origin's, holds "insc", "map", "bsv20" or "bsv21" as an object.
bool txo_is_inscription(const nlohmann::json& txo);

// The inscription's content type ("insc"."file"."type") of the txo's data, else its origin's.
std::string txo_content_type(const nlohmann::json& txo, bool* malformed = nullptr);

// The inscription's content size in bytes ("insc"."file"."size"), the same way; 0 when no data
// tells it as a whole number.
std::uint64_t txo_content_size(const nlohmann::json& txo);

// "Artwork", "Certificate" or "" from the MAP data this program writes (app "Corvane"), decided
// by the sealed tag, else its length, else the content type. Fills an empty *name from the MAP
// "name" (trimmed, at most 48 bytes) of the first data with app "Corvane" that has one.
std::string txo_art_kind(const nlohmann::json& txo, std::string* name = nullptr, bool* malformed = nullptr);

// True when the txo is an identity record of the platform (MAP "app" "KestravaId"); fills an
// empty *name from its MAP "name".
bool txo_map_name(const nlohmann::json& txo, std::string* name = nullptr, bool* malformed = nullptr);

// True when the txo's inscription JSON is a "KV-Identity" "id_issue" credential; hands a copy out.
bool txo_json_protocol(const nlohmann::json& txo, nlohmann::json& credential, bool* malformed = nullptr);

// Display label of a credential kind ("id_age" -> "ID-age", ...); "" for any other text.
std::string id_kind_label(const std::string& kind);

// The credential's label, with " (handle)" when it is about someone other than the loaded wallet's
// identity; "" for an unknown kind. Reads the identity key without taking the wallet mutex: the
// caller holds it or knows no wallet switch can run meanwhile.
std::string credential_title(const nlohmann::json& credential);

// Title of the credential that inscription content holds (1 to 200,000 bytes starting with "{");
// "" for anything else.
std::string credential_title_of_txo(const std::string& content);

// Fills `outpoints` with the outpoint keys (txid ":" vout) of the address's unspent inscriptions
// and unspent bsv-20 outputs on GorillaPool. False when the address is empty or the inscription
// list cannot be read whole (request failed, not a JSON array, a malformed element); a missing
// token list still gives true.
bool gp_ord_outpoints_at_address(const std::string& address, std::unordered_set<std::string>& outpoints);
