// secp256k1 arithmetic on libsecp256k1: public keys, the BIP32 scalar step, ECDSA signing (low S,
// RFC 6979 nonces), verification and the ECDH X coordinate. Keys and signatures travel as bytes:
// private keys 32, public keys 33 (compressed) or 65, r and s 64. Every function is safe to call
// from any thread; secrets copied inside are wiped before returning.
#pragma once

#include "wallet/codecs.h"

#include <array>
#include <cstddef>
#include <cstdint>

using PubKey33 = std::array<std::uint8_t, 33>;

// True when the 32 bytes are a private key: not zero and below the group order n.
bool curve_priv_valid(const std::uint8_t* priv32);

// Compressed public key of a private key; false for a key that curve_priv_valid refuses.
bool curve_pub_from_priv(const std::uint8_t* priv32, PubKey33& pub);

// key32 := key32 + tweak32 mod n, in place (the BIP32 private child step). False, with key32 as it
// was, when the key is invalid, the tweak is not below n, or the sum is zero.
bool curve_priv_add(std::uint8_t* key32, const std::uint8_t* tweak32);

// Compressed form of a 33- or 65-byte encoding of a point on the curve; false for anything else.
bool curve_pub_compress(const std::uint8_t* key, std::size_t len, PubKey33& pub);

// ECDSA signature of a 32-byte digest with a low S, DER-encoded (no sighash byte). Out cleared
// first; false for an invalid key.
bool curve_sign_der(const std::uint8_t* priv32, const std::uint8_t* digest32, Bytes& der);

// The same signature as r and s, with the recovery id (0-3) that names the signer's key among the
// keys the signature and digest recover.
bool curve_sign_recoverable(const std::uint8_t* priv32, const std::uint8_t* digest32, std::array<std::uint8_t, 64>& rs,
                            int& recid);

// True when r and s sign the digest under the key (33 or 65 bytes on the curve). A high S verifies
// too; r or s of zero or not below n does not.
bool curve_verify(const std::uint8_t* digest32, const std::uint8_t* rs64, const std::uint8_t* key, std::size_t len);

// How many signatures curve_verify has checked in this process: the work that remembering which
// records verified spares a later read.
std::uint64_t curve_verifications();

// X coordinate of priv x peer (the peer key 33 or 65 bytes); false for an invalid key of either side.
bool curve_shared_x(const std::uint8_t* priv32, const std::uint8_t* peer, std::size_t len,
                    std::array<std::uint8_t, 32>& x);
