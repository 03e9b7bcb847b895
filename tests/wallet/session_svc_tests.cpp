#include "wallet/session.h"

#include "fakes/fake_clock.h"
#include "support/temp_dir.h"
#include "support/wallet_reset.h"
#include "wallet/codecs.h"
#include "wallet/crypto.h"
#include "wallet/kv_cofferly_wallet.h"
#include "wallet/registry.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <openssl/sha.h>
#include <secp256k1.h>

#include <array>
#include <memory>

namespace {

const char* kMnemonic = "abandon abandon abandon abandon abandon abandon abandon abandon abandon abandon abandon about";
// m/44'/236'/100'/0/0 of that mnemonic (wallet-paths.json).
const char* kIdentityPub = "02ded4e1e697bc768d79dd3f5c95cd56f332fdcf483c2a36933ba6c81d29bcf8b4";

std::array<unsigned char, 32> sha256_twice(const std::string& data, bool twice) {
    std::array<unsigned char, 32> first{}, second{};
    SHA256(reinterpret_cast<const unsigned char*>(data.data()), data.size(), first.data());
    if (!twice) return first;
    SHA256(first.data(), first.size(), second.data());
    return second;
}

// The signed-message digest, written out here rather than taken from the code under test.
std::array<unsigned char, 32> message_digest(const std::string& message) {
    std::string data = "\x18"
                       "Bitcoin Signed Message:\n";
    const std::size_t n = message.size();
    if (n < 253) {
        data += static_cast<char>(n);
    } else if (n <= 0xffff) {
        data += '\xfd';
        data += static_cast<char>(n & 0xff);
        data += static_cast<char>(n >> 8);
    } else {
        data += '\xfe';
        for (int i = 0; i < 4; ++i)
            data += static_cast<char>((n >> (8 * i)) & 0xff);
    }
    return sha256_twice(data + message, true);
}

using SecpCtx = std::unique_ptr<secp256k1_context, decltype(&secp256k1_context_destroy)>;

// libsecp256k1 accepts only low-S signatures, so a pass also shows S was normalised.
bool secp_verifies(const std::string& signature_b64, const std::string& pubkey_hex,
                   const std::array<unsigned char, 32>& digest) {
    Bytes rs, pub = from_hex(pubkey_hex);
    if (!base64_decode(signature_b64, rs) || rs.size() != 64 || pub.size() != 33) return false;
    SecpCtx ctx(secp256k1_context_create(SECP256K1_CONTEXT_NONE), secp256k1_context_destroy);
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
    const nlohmann::json doc = {{"mnemonic", kMnemonic}, {"recv", {0, 0, 0, 0, 0, 0}}};
    test_write_file(wallet_file_path_for_id("w1"), doc.dump(2));
    {
        WalletLock lock = lock_wallet();
        kv_wallet().wallet_id = "w1";
    }
    // Lengths around each CompactSize step of the prefix: one byte, then 0xFD, then 0xFE.
    for (std::size_t length : {0u, 20u, 252u, 253u, 300u, 65535u, 65536u}) {
        SCOPED_TRACE(length);
        std::string message(length, 'm');
        for (std::size_t i = 0; i < length; ++i)
            message[i] = static_cast<char>('a' + i % 26);
        std::string pub, sig, error;
        ASSERT_TRUE(sign_with_identity(message, pub, sig, error)) << error;
        EXPECT_EQ(pub, kIdentityPub);
        ASSERT_EQ(sig.size(), 88u);
        EXPECT_EQ(sig.substr(86), "==");
        EXPECT_TRUE(secp_verifies(sig, kIdentityPub, message_digest(message)));
        EXPECT_FALSE(secp_verifies(sig, kIdentityPub, sha256_twice(message, false))) << "the fallback digest";
    }
    reset_wallet_state_for_tests();
}
