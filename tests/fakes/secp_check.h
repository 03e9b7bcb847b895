// libsecp256k1 called by the tests themselves, to judge the product's keys and signatures (its
// digests, encodings, key handling and recovery ids) by code apart from the product's own.
#pragma once

#include "wallet/codecs.h"

#include <secp256k1.h>

#include <array>
#include <memory>
#include <string>

struct SecpContextFree {
    void operator()(secp256k1_context* ctx) const { secp256k1_context_destroy(ctx); }
};
using SecpContext = std::unique_ptr<secp256k1_context, SecpContextFree>;

// A context for signing, verifying and recovering.
SecpContext secp_context();

// The compressed public key of a 32-byte secret, in hex; "" when the secret is no key.
std::string secp_pubkey_hex(const Bytes& secret);

using Digest = std::array<unsigned char, 32>;

// SHA-256 of the text, once or twice.
Digest sha256_of(const std::string& data, bool twice);

// The signed-message digest: double SHA-256 of 0x18, "Bitcoin Signed Message:\n", the CompactSize
// length and the message, built here byte by byte.
Digest expected_message_digest(const std::string& message);
