// Hashes, MACs, base64 and secret wiping over OpenSSL's libcrypto.
#pragma once

#include "wallet/codecs.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

using Hash256 = std::array<std::uint8_t, 32>;

Hash256 sha256(const std::uint8_t* data, std::size_t len);
inline Hash256 sha256(const Bytes& b) {
    return sha256(b.data(), b.size());
}
inline Hash256 sha256(const std::string& s) {
    return sha256(reinterpret_cast<const std::uint8_t*>(s.data()), s.size());
}

// SHA-256 of SHA-256.
Hash256 sha256d(const std::uint8_t* data, std::size_t len);
inline Hash256 sha256d(const Bytes& b) {
    return sha256d(b.data(), b.size());
}

// RIPEMD-160 of SHA-256 (the key hash of P2PKH).
Hash160 hash160_of(const std::uint8_t* data, std::size_t len);
inline Hash160 hash160_of(const Bytes& b) {
    return hash160_of(b.data(), b.size());
}

// HMAC-SHA512; false when the library fails.
bool hmac_sha512(const std::uint8_t* key, std::size_t key_len, const std::uint8_t* data, std::size_t data_len,
                 std::array<std::uint8_t, 64>& out);

// Standard base64 with "=" padding, no line breaks.
std::string base64_encode(const std::uint8_t* data, std::size_t len);
inline std::string base64_encode(const Bytes& b) {
    return base64_encode(b.data(), b.size());
}
// Decodes standard base64 (padding optional, no white space); false on any other character.
bool base64_decode(const std::string& text, Bytes& out);

// AES-256-GCM without additional data under a 32-byte key and a 12-byte IV. Sealing writes `len`
// bytes of cipher text and the 16-byte tag; opening writes `len` bytes of plain text and is false
// when the tag does not match. Both are false when the library fails or `len` is beyond its reach.
bool aes_256_gcm_seal(const Hash256& key, const std::uint8_t* iv, const std::uint8_t* plain, std::size_t len,
                      std::uint8_t* cipher, std::uint8_t* tag);
bool aes_256_gcm_open(const Hash256& key, const std::uint8_t* iv, const std::uint8_t* cipher, std::size_t len,
                      const std::uint8_t* tag, std::uint8_t* plain);
// The same with `associated` as additional data: the tag covers it, so a cipher text opens only
// beside the very data it was sealed with.
bool aes_256_gcm_seal(const Hash256& key, const std::uint8_t* iv, const std::string& associated,
                      const std::uint8_t* plain, std::size_t len, std::uint8_t* cipher, std::uint8_t* tag);
bool aes_256_gcm_open(const Hash256& key, const std::uint8_t* iv, const std::string& associated,
                      const std::uint8_t* cipher, std::size_t len, const std::uint8_t* tag, std::uint8_t* plain);

// Random bytes from the library's generator; false when it is not seeded.
bool random_bytes(std::uint8_t* out, std::size_t len);

// Overwrite with OPENSSL_cleanse. The string or vector is emptied afterwards.
void wipe(std::string& secret);
void wipe(Bytes& secret);
void wipe(void* data, std::size_t len);

// Double SHA-256 of 0x18, "Bitcoin Signed Message:\n", the CompactSize length and the message.
Hash256 bitcoin_message_digest(const std::string& message);
