// Keys and signatures checked by the tests' own calls into libsecp256k1, apart from the product's
// code that made them.
#include "wallet/keys.h"

#include "fakes/secp_check.h"
#include "support/wallet_fixture.h"
#include "wallet/crypto.h"

#include <gtest/gtest.h>

TEST(KeysSecp, SignaturesVerifyAndAreLowS) {
    SecpContext ctx = secp_context();
    ASSERT_TRUE(ctx);

    // Keys from the wallet's own paths and from hashed counters, with the extremes 1 and n - 1.
    reset_wallet_state_for_tests();
    KvCofferlyWallet& w = kv_wallet();
    w.is_hd = true;
    w.mnemonic = kTestMnemonic;
    std::vector<std::string> keys = {std::string(63, '0') + "1",
                                     "fffffffffffffffffffffffffffffffebaaedce6af48a03bbfd25e8cd0364140"};
    for (std::uint32_t i = 0; i < 4; ++i) {
        std::string priv, pub, address;
        ASSERT_TRUE(derive_account_key(1, i, priv, pub, address));
        keys.push_back(priv);
        Hash256 k = sha256("key " + std::to_string(i));
        keys.push_back(to_hex(k.data(), k.size()));
    }

    for (const std::string& priv : keys) {
        SCOPED_TRACE(priv);
        std::string pub_hex;
        ASSERT_TRUE(priv_hex_to_pub_hex(priv, pub_hex));
        Bytes seckey = from_hex(priv);
        secp256k1_pubkey pubkey;
        ASSERT_EQ(secp256k1_ec_pubkey_create(ctx.get(), &pubkey, seckey.data()), 1);
        std::uint8_t ser[33];
        std::size_t ser_len = sizeof ser;
        secp256k1_ec_pubkey_serialize(ctx.get(), ser, &ser_len, &pubkey, SECP256K1_EC_COMPRESSED);
        EXPECT_EQ(pub_hex, to_hex(ser, ser_len));

        for (int d = 0; d < 16; ++d) {
            Hash256 digest = sha256(priv + std::to_string(d));
            Bytes der;
            ASSERT_TRUE(ecdsa_sign_der(priv, digest.data(), der));
            EXPECT_LE(der.size(), 71u);
            secp256k1_ecdsa_signature sig;
            ASSERT_EQ(secp256k1_ecdsa_signature_parse_der(ctx.get(), &sig, der.data(), der.size()), 1);
            // normalize answers 1 only when it had to lower S.
            secp256k1_ecdsa_signature normal;
            EXPECT_EQ(secp256k1_ecdsa_signature_normalize(ctx.get(), &normal, &sig), 0);
            // The encoding is the canonical one: re-serialising gives the same bytes.
            std::uint8_t again[72];
            std::size_t again_len = sizeof again;
            ASSERT_EQ(secp256k1_ecdsa_signature_serialize_der(ctx.get(), again, &again_len, &sig), 1);
            EXPECT_EQ(Bytes(again, again + again_len), der);
            EXPECT_EQ(secp256k1_ecdsa_verify(ctx.get(), &sig, digest.data(), &pubkey), 1);
            // The nonce follows from the key and the digest (RFC 6979), so a transaction signed
            // again keeps its id.
            Bytes repeat;
            ASSERT_TRUE(ecdsa_sign_der(priv, digest.data(), repeat));
            EXPECT_EQ(repeat, der);
            digest[0] ^= 1;
            EXPECT_EQ(secp256k1_ecdsa_verify(ctx.get(), &sig, digest.data(), &pubkey), 0);
        }
    }
}
