// Checks under every typed-message verification: keys and signatures as the platform writes them,
// the compressed key form that identity keys are compared in, and ECDSA verification over
// secp256k1. Signing is the wallet core's sign_with_identity; these accept its output and the two
// older digests.
#pragma once

#include "wallet/codecs.h"
#include "wallet/crypto.h"

#include <string>

// Hex text, either case, optionally with surrounding white space and a "0x" prefix. False (out
// empty) on an odd length or a character that is not a hex digit; "" gives true with no bytes.
bool msg_hex_to_bytes(const std::string& text, Bytes& out);

// 66 lower-case hex digits of the compressed key: a 33-byte key starting 02/03 as it is, a 65-byte
// key starting 04 when it lies on the curve. "" for anything else.
std::string normalize_pubkey(const Bytes& key);

// ECDSA verification of a 32-byte digest. The signature is r and s (64 bytes), or a header byte
// that is ignored then r and s (65 bytes); the key is 33 or 65 bytes on secp256k1. A high S also
// verifies.
bool ecdsa_verify_digest(const Hash256& digest, const Bytes& signature, const Bytes& pubkey);

// True when the base64 signature verifies over the message under the hex key with the Bitcoin
// Signed Message digest, the SHA-256 or the double SHA-256 of the message, tried in that order.
bool verify_signed_message(const std::string& message, const std::string& pubkey_text,
                           const std::string& signature_text);
