// Type-checked readers of members of parsed JSON: what files, services and the chain send is read
// through these, so a member of an unexpected type never throws.
#pragma once

#include <nlohmann/json_fwd.hpp>

#include <cstdint>
#include <string>

// The parsed text, or a discarded value when it is not JSON; never throws.
nlohmann::json json_parse_or_discarded(const std::string& text);

// The text member `key` of an object; "" when obj is not an object, the key is missing or the
// member is not text.
std::string json_text(const nlohmann::json& obj, const std::string& key);

// An optional text field: true with out untouched when the key is absent, true with out set when
// it is text, false when it holds any other type.
bool json_optional_text(const nlohmann::json& obj, const char* key, std::string& out);

// A non-negative integer that fits 32 bits; false (out untouched) for anything else, so -1 never
// wraps to 4294967295 and a float is not taken.
bool json_as_u32(const nlohmann::json& value, std::uint32_t& out);
