// What the files of the WhatsOnChain client share (chain/woc_*.cpp only; callers include
// chain/woc_client.h): the reading of its replies' numbers and lists, the paths of its resources,
// and the one remembered spender of an output that every reader of spends goes through.
#pragma once

#include <nlohmann/json.hpp>

#include <cstdint>
#include <string>

namespace woc {

// Letters, digits and "-._~" stay; every other byte becomes %XX.
std::string percent_encode(const std::string& text);

// Any JSON number as an integer, rounded; false for other types, NaN and values beyond int64.
bool json_round_i64(const nlohmann::json& v, std::int64_t& out);
// A JSON number converted to u32 the way an unsigned cast would; 0 for what cannot be converted.
std::uint32_t json_u32(const nlohmann::json& v);
// A JSON number as i32; -1 for what does not fit.
std::int32_t json_i32(const nlohmann::json& v);

// The array of a reply: the reply itself, or the array under `key` of an object; null otherwise.
const nlohmann::json* reply_array(const nlohmann::json& reply, const char* key);

// "/tx/<txid>" and "/address/<address>", encoded.
std::string tx_path(const std::string& txid);
std::string address_path(const std::string& address);

// The spend answer remembered for an output at the service in force, shared by the single look-up
// and the bulk status: code 0 (spender set) or 3 (transaction unknown). False when none is.
bool remembered_spend(const std::string& txid, std::uint32_t vout, int& code, std::string& spender);
// Remembers an answer unless one is remembered already; `code` and `spender` become the answer
// remembered, so two readers that raced keep the same one.
void remember_spend(const std::string& txid, std::uint32_t vout, int& code, std::string& spender);
// Replaces what is remembered for the output (a spender the chain did not bear out).
void replace_spend(const std::string& txid, std::uint32_t vout, int code, const std::string& spender);
void forget_spend(const std::string& txid, std::uint32_t vout);
// True when the transaction `spender` can be read and one of its inputs spends the output.
bool spends_output(const std::string& spender, const std::string& txid, std::uint32_t vout);

// Forgets the places in blocks kept by woc_tx_block_place.
void forget_block_places();

} // namespace woc
