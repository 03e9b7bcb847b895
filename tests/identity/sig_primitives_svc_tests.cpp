// Signatures here are made by the tests' own calls into libsecp256k1, so the product's verifier is
// judged on signatures it did not make.
#include "identity/sig_primitives.h"

#include "fakes/secp_check.h"
#include "support/wallet_fixture.h"
#include "wallet/crypto.h"

#include <gtest/gtest.h>

#include <string>

namespace {

const Bytes kSecret = from_hex("c28a9f80738f770d527803a566cf6b3ecb1f1e9f0a1b0b5fd69c0e7c1b2a9a8d");

// r and s of a libsecp256k1 signature of the digest (low S).
Bytes secp_sign(const Digest& digest, const Bytes& secret = kSecret) {
    SecpContext ctx = secp_context();
    secp256k1_ecdsa_signature sig;
    Bytes rs(64);
    EXPECT_EQ(secp256k1_ecdsa_sign(ctx.get(), &sig, digest.data(), secret.data(), nullptr, nullptr), 1);
    secp256k1_ecdsa_signature_serialize_compact(ctx.get(), rs.data(), &sig);
    return rs;
}

std::string uncompressed_hex(const Bytes& secret) {
    SecpContext ctx = secp_context();
    secp256k1_pubkey pub;
    EXPECT_EQ(secp256k1_ec_pubkey_create(ctx.get(), &pub, secret.data()), 1);
    unsigned char out[65];
    size_t len = sizeof out;
    secp256k1_ec_pubkey_serialize(ctx.get(), out, &len, &pub, SECP256K1_EC_UNCOMPRESSED);
    return to_hex(out, len);
}

std::string with_breaks(const std::string& b64) {
    std::string out;
    for (std::size_t i = 0; i < b64.size(); ++i) {
        out += b64[i];
        if (i % 10 == 9) out += "\r\n";
    }
    return out;
}

TEST(SigPrimitivesSecp, VerifySignedMessage) {
    const std::string message = "KV1|art_pair|art|alice|alice|1700000000|p|c|s|o|1700000000";
    const std::string long_message(300, 'm');
    const std::string pub = secp_pubkey_hex(kSecret);
    const std::string other_pub = secp_pubkey_hex(from_hex(std::string(63, '0') + "7"));

    const Bytes bsm = secp_sign(expected_message_digest(message));
    const std::string bsm_b64 = base64_encode(bsm);
    Bytes with_header(1, 0xff);
    with_header.insert(with_header.end(), bsm.begin(), bsm.end());
    // n - s signs the same digest; the verifier takes it although nodes would not.
    Bytes high_s = bsm;
    SecpContext ctx = secp_context();
    ASSERT_EQ(secp256k1_ec_seckey_negate(ctx.get(), high_s.data() + 32), 1);
    std::string padded_middle = bsm_b64;
    padded_middle.insert(20, "==");
    const std::string no_padding = bsm_b64.substr(0, bsm_b64.find('='));

    struct Row {
        const char* name;
        std::string message, pubkey, signature;
        bool ok;
    };
    const Row rows[] = {
        {"signed-message digest", message, pub, bsm_b64, true},
        {"plain SHA-256", message, pub, base64_encode(secp_sign(sha256_of(message, false))), true},
        {"double SHA-256", message, pub, base64_encode(secp_sign(sha256_of(message, true))), true},
        {"three-byte length prefix", long_message, pub, base64_encode(secp_sign(expected_message_digest(long_message))),
         true},
        {"65 bytes, header ignored", message, pub, base64_encode(with_header), true},
        {"high S", message, pub, base64_encode(high_s), true},
        {"line breaks", message, pub, with_breaks(bsm_b64), true},
        {"no padding", message, pub, no_padding, true},
        {"padding in the middle", message, pub, padded_middle, true},
        {"key with 0x, capitals and blanks", message, " 0X" + upper_copy(pub) + " ", bsm_b64, true},
        {"uncompressed key", message, uncompressed_hex(kSecret), bsm_b64, true},
        {"other message", message + ".", pub, bsm_b64, false},
        {"other key", message, other_pub, bsm_b64, false},
        {"key not hex", message, "zz" + pub.substr(2), bsm_b64, false},
        {"key of 32 bytes", message, pub.substr(2), bsm_b64, false},
        {"key off the curve", message, "02" + std::string(64, '0'), bsm_b64, false},
        {"63 bytes", message, pub, base64_encode(Bytes(bsm.begin(), bsm.end() - 1)), false},
        {"66 bytes", message, pub, base64_encode(Bytes(66, 1)), false},
        {"empty signature", message, pub, "", false},
        {"URL-safe alphabet", message, pub, bsm_b64 + "-_", false},
        {"zero r and s", message, pub, base64_encode(Bytes(64, 0)), false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(verify_signed_message(row.message, row.pubkey, row.signature), row.ok);
    }
}

TEST(SigPrimitivesSecp, VerifyDigestShapes) {
    const Digest d = sha256_of("digest", false);
    Hash256 digest{};
    std::copy(d.begin(), d.end(), digest.begin());
    const Bytes rs = secp_sign(d);
    const Bytes pub = from_hex(secp_pubkey_hex(kSecret));
    EXPECT_TRUE(ecdsa_verify_digest(digest, rs, pub));
    Bytes header(1, 31);
    header.insert(header.end(), rs.begin(), rs.end());
    EXPECT_TRUE(ecdsa_verify_digest(digest, header, pub));
    header.push_back(0);
    EXPECT_FALSE(ecdsa_verify_digest(digest, header, pub));
    Bytes hybrid = from_hex(uncompressed_hex(kSecret));
    hybrid[0] = static_cast<std::uint8_t>(6 + (hybrid[64] & 1));
    EXPECT_FALSE(ecdsa_verify_digest(digest, rs, hybrid));
    EXPECT_FALSE(ecdsa_verify_digest(digest, rs, Bytes()));
}

} // namespace
