// Type-checked readers of members of parsed JSON: what files, services and the chain send is read
// through these, so a member of an unexpected type never throws.
#pragma once

#include <nlohmann/json_fwd.hpp>

#include <cstddef>
#include <cstdint>
#include <string>

// Deepest nesting of arrays and objects taken from a file or a service. Real documents stay within
// a handful of levels; the JSON library copies, compares and writes values by recursing once per
// level, so a deeper value could overflow the stack.
constexpr int kJsonMaxDepth = 64;

// Most values (members and array items) and most arrays and objects taken from one text. The byte
// bound on a reply does not bound memory: each empty object costs the parser about 200 bytes, so a
// 20 MB reply of them would take over a gigabyte. The largest honest texts (a long address
// history, a transaction with thousands of outputs) hold some hundred thousand values.
constexpr std::size_t kJsonMaxValues = 2000000;
constexpr std::size_t kJsonMaxContainers = 500000;

// True when the text opens more than kJsonMaxDepth arrays or objects inside one another. A cheap
// scan that skips strings and parses nothing; text that is not JSON may still pass.
bool json_nested_too_deep(const char* text, std::size_t size);
bool json_nested_too_deep(const std::string& text);

// Parses outside text (a service reply, a chain record, a shared file) into `out`, refusing text
// nested deeper than kJsonMaxDepth, or with more values or containers than the bounds above,
// before the parser sees it. False, with `out` discarded and `error` saying why, when the text is
// too deep, too large or not JSON; never throws.
bool json_parse_bounded(const std::string& text, nlohmann::json& out, std::string& error);

// The parsed text as json_parse_bounded gives it, or a discarded value; never throws.
nlohmann::json json_parse_or_discarded(const std::string& text);

// The text member `key` of an object; "" when obj is not an object, the key is missing or the
// member is not text.
std::string json_text(const nlohmann::json& obj, const std::string& key);

// An optional text field: true with out untouched when the key is absent, true with out set when
// it is text, false when it holds any other type.
bool json_optional_text(const nlohmann::json& obj, const char* key, std::string& out);

// A whole number from `low` to `high`; false (out untouched) for any other type or value, so a
// number past 2^63 never wraps to a negative one and a fraction is not taken. Every whole number
// read from a file, a service or the chain goes through here.
bool json_whole_number(const nlohmann::json& value, std::int64_t low, std::int64_t high, std::int64_t& out);

// The whole-number member `key` of an object, through json_whole_number: from `low` to `high`, or
// any 64-bit value. False (out untouched) when obj is no object, the key is absent or its value is
// refused.
bool json_i64_within(const nlohmann::json& obj, const char* key, std::int64_t low, std::int64_t high,
                     std::int64_t& out);
bool json_i64(const nlohmann::json& obj, const char* key, std::int64_t& out);

// A non-negative integer that fits 32 bits; false (out untouched) for anything else, so -1 never
// wraps to 4294967295 and a float is not taken.
bool json_as_u32(const nlohmann::json& value, std::uint32_t& out);
