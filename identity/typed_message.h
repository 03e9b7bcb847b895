// The canonical text that a typed message's signature covers. A typed message is a JSON object;
// its signature never covers the JSON itself but one text built from chosen fields, so key order,
// number formatting and extra keys leave the signature intact. Lower-casing and hex are
// to_lower_copy and to_hex of wallet/codecs.h.
#pragma once

#include <nlohmann/json_fwd.hpp>

#include <cstdint>
#include <string>

using TypedMessage = nlohmann::json;

// The preimage of a message: the web-gate form for the types "web_gate" and "n_button", the
// "KV1|" channel form for every other. Never fails; missing fields read as empty or 0.
std::string canonical_message_preimage(const TypedMessage& msg);

// The channel form from its parts: "KV1|" type | channel | handle | actor | ts | payload, with the
// type trimmed, the channel trimmed and lower-cased, handle and actor normalised and lower-cased.
std::string message_preimage(const std::string& type, const std::string& channel, const std::string& handle,
                             const std::string& actor, std::int64_t ts, const std::string& payload);

// The web-gate form: "KV1|" type | handle | origin | path | message | nonce, the handle without
// one leading "@" and lower-cased, everything else exactly as given.
std::string web_gate_preimage(const std::string& type, const std::string& handle, const std::string& origin,
                              const std::string& path, const std::string& message, const std::string& nonce);

// The text under `key` when it is a JSON string (the empty string included); otherwise the text
// under `alt_key` when one is given; otherwise "".
std::string msg_field_str(const TypedMessage& msg, const char* key, const char* alt_key = nullptr);

// A signed 64-bit integer read from `key`: a JSON integer, a float truncated toward zero, or the
// leading decimal digits of a string. 0 for anything else and for a value outside the 64-bit range.
std::int64_t msg_field_int(const TypedMessage& msg, const char* key);

// The `join_fee` clamped to 0.00001..1 with 8 decimals ("0.25000000"); "" when the key is missing
// or gives no finite number.
std::string format_join_fee(const TypedMessage& msg);

// SHA-256 hex of the message body: "pmessage1".."pmessage8" joined, or "pmessage" when they give
// nothing.
std::string pmessage_digest(const TypedMessage& msg);

// False when a field that enters the preimage holds a "|": its text would then read the same as a
// message whose fields were split at other places, and a signature over it would vouch for both.
bool preimage_fields_unambiguous(const TypedMessage& msg);

// The text without leading and trailing C-locale white space (space, \t, \n, \v, \f, \r).
std::string msg_trim(const std::string& text);
// A handle in its bare form: trimmed, one leading "@" or "$" dropped, trimmed again. Case is kept.
std::string msg_norm_handle(const std::string& text);
