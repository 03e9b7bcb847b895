#include "wallet/session.h"

#include "fakes/fake_clock.h"
#include "fakes/secp_check.h"
#include "support/temp_dir.h"
#include "support/wallet_fixture.h"
#include "wallet/crypto.h"

#include <gtest/gtest.h>

namespace {

// m/44'/236'/100'/0/0 of the test mnemonic (wallet-paths.json).
const char* kIdentityPub = "02ded4e1e697bc768d79dd3f5c95cd56f332fdcf483c2a36933ba6c81d29bcf8b4";

// libsecp256k1 accepts only low-S signatures, so a pass also shows S was normalised.
bool secp_verifies(const std::string& signature_b64, const std::string& pubkey_hex, const Digest& digest) {
    Bytes rs, pub = from_hex(pubkey_hex);
    if (!base64_decode(signature_b64, rs) || rs.size() != 64 || pub.size() != 33) return false;
    SecpContext ctx = secp_context();
    secp256k1_ecdsa_signature sig;
    secp256k1_pubkey key;
    if (!secp256k1_ecdsa_signature_parse_compact(ctx.get(), &sig, rs.data())) return false;
    if (!secp256k1_ec_pubkey_parse(ctx.get(), &key, pub.data(), pub.size())) return false;
    return secp256k1_ecdsa_verify(ctx.get(), &sig, digest.data(), &key) == 1;
}

} // namespace

TEST(IdentitySignature, VerifiesAsBitcoinSignedMessageForTheIdentityKey) {
    TempDataDir dir;
    FakeClock clock;
    reset_wallet_state_for_tests();
    write_test_wallet_file("w1");
    {
        WalletLock lock = lock_wallet();
        kv_wallet().wallet_id = "w1";
    }
    // Lengths around each CompactSize step of the prefix: one byte, then 0xFD, then 0xFE.
    for (std::size_t length : {0u, 252u, 253u, 65535u, 65536u}) {
        SCOPED_TRACE(length);
        std::string message(length, 'm');
        for (std::size_t i = 0; i < length; ++i)
            message[i] = static_cast<char>('a' + i % 26);
        std::string pub, sig, error;
        ASSERT_TRUE(sign_with_identity(message, pub, sig, error)) << error;
        EXPECT_EQ(pub, kIdentityPub);
        ASSERT_EQ(sig.size(), 88u);
        EXPECT_EQ(sig.substr(86), "==");
        EXPECT_TRUE(secp_verifies(sig, kIdentityPub, expected_message_digest(message)));
        EXPECT_FALSE(secp_verifies(sig, kIdentityPub, sha256_of(message, false))) << "the fallback digest";
    }
    reset_wallet_state_for_tests();
}
