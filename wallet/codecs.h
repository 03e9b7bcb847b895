// Byte and address codecs shared by the whole engine: hex, base58check P2PKH addresses, the
// P2PKH locking script, little-endian and CompactSize integers, and script data pushes.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

using Bytes = std::vector<std::uint8_t>;
using Hash160 = std::array<std::uint8_t, 20>;

// Two lower-case hex digits per byte; "" for a count of 0.
std::string to_hex(const std::uint8_t* data, std::size_t len);
inline std::string to_hex(const Bytes& b) {
    return to_hex(b.data(), b.size());
}

// True for 0-9, a-f and A-F.
bool is_hex_digit(char c);

// Bytes of an even-length hex text (either case); empty on any error, never partial.
Bytes from_hex(const std::string& hex);

// P2PKH address (version byte 0x00) of a hash160.
std::string base58check_encode(const Hash160& hash160);

// Decodes a version-0 P2PKH address. Returns false (out untouched) for any other text.
bool address_to_hash160(const std::string& address, Hash160& out);

// 76 A9 14 <hash160> 88 AC.
Bytes p2pkh_script(const Hash160& hash160);

// The hash160 of a script that is exactly the P2PKH lock above; false (out untouched) for any
// other script.
bool p2pkh_script_hash160(const Bytes& script, Hash160& out);

void append_u32_le(Bytes& out, std::uint32_t v);
void append_u64_le(Bytes& out, std::uint64_t v);
// Bitcoin CompactSize: 1, 3, 5 or 9 bytes.
void append_varint(Bytes& out, std::uint64_t v);
// Push opcode and length (direct, PUSHDATA1/2/4), then the data; never OP_1..OP_16.
void append_push_data(Bytes& out, const std::uint8_t* data, std::size_t len);

// ASCII A-Z lowered; every other byte unchanged.
std::string to_lower_copy(std::string s);
