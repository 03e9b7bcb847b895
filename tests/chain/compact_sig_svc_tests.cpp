#include "chain/compact_sig.h"

#include "fakes/fake_server.h"
#include "fakes/secp_check.h"
#include "support/wallet_fixture.h"
#include "wallet/codecs.h"
#include "wallet/keys.h"
#include "wallet/kv_cofferly_wallet.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <secp256k1_recovery.h>

#include <chrono>
#include <thread>

namespace {

const std::string kTxid = "4a5e1e4baab89f3a32518a88c31bc87f618f76673e2cc77ab2127b7afdeda33b";

// Recovers the signer of a base64 compact signature with libsecp256k1 and checks its form; returns
// the compressed public key in hex, or "" with a test failure.
std::string recover_signer(const std::string& signature_b64, const std::string& message) {
    Bytes sig;
    EXPECT_EQ(signature_b64.size(), 88u);
    if (!base64_decode(signature_b64, sig) || sig.size() != 65) {
        ADD_FAILURE() << "not a 65-byte compact signature";
        return {};
    }
    EXPECT_GE(sig[0], 31);
    EXPECT_LE(sig[0], 34);
    SecpContext ctx = secp_context();
    secp256k1_ecdsa_recoverable_signature rsig;
    if (!secp256k1_ecdsa_recoverable_signature_parse_compact(ctx.get(), &rsig, sig.data() + 1, sig[0] - 31)) {
        ADD_FAILURE() << "libsecp256k1 rejects the signature";
        return {};
    }
    secp256k1_ecdsa_signature plain, normalized;
    secp256k1_ecdsa_recoverable_signature_convert(ctx.get(), &plain, &rsig);
    EXPECT_EQ(secp256k1_ecdsa_signature_normalize(ctx.get(), &normalized, &plain), 0) << "high S";
    const Digest digest = expected_message_digest(message);
    secp256k1_pubkey pub;
    if (!secp256k1_ecdsa_recover(ctx.get(), &pub, &rsig, digest.data())) {
        ADD_FAILURE() << "no key recovered";
        return {};
    }
    EXPECT_EQ(secp256k1_ecdsa_verify(ctx.get(), &plain, digest.data(), &pub), 1);
    unsigned char out[33];
    size_t len = sizeof out;
    secp256k1_ec_pubkey_serialize(ctx.get(), out, &len, &pub, SECP256K1_EC_COMPRESSED);
    return to_hex(out, len);
}

TEST(CompactSig, SignaturesRecoverToTheSignerUnderLibsecp256k1) {
    const char* keys[] = {"0000000000000000000000000000000000000000000000000000000000000001",
                          "fffffffffffffffffffffffffffffffebaaedce6af48a03bbfd25e8cd0364140",
                          "C28A9F80738F770D527803A566CF6B3ECB1F1E9F0A1B0B5FD69C0E7C1B2A9A8D"};
    const std::string messages[] = {"", std::string(252, 'a'), std::string(253, 'b'), kTxid,
                                    "caf\xc3\xa9 \xe2\x82\xac"};
    for (const char* key : keys) {
        for (const std::string& message : messages) {
            SCOPED_TRACE(std::string(key) + " / " + std::to_string(message.size()) + " bytes");
            std::string signature;
            ASSERT_TRUE(sign_bitcoin_message(key, message, signature));
            EXPECT_EQ(recover_signer(signature, message), secp_pubkey_hex(from_hex(key)));
        }
    }
}

TEST(CompactSig, BadKeysGiveNoSignature) {
    const std::string bad[] = {std::string(63, '1'), std::string(63, '1') + "g", std::string(64, '0'),
                               "fffffffffffffffffffffffffffffffebaaedce6af48a03bbfd25e8cd0364141"};
    for (const std::string& key : bad) {
        SCOPED_TRACE(key);
        std::string signature = "stale";
        EXPECT_FALSE(sign_bitcoin_message(key, "m", signature));
        EXPECT_TRUE(signature.empty());
    }
}

TEST(CompactSig, NoticeBodyShape) {
    P2pPaymentNote note;
    note.hex = "0100";
    note.pubkey = "02ab";
    note.signature = "SIG=";
    P2pReceiver receiver{"http://x/p2p", "ref-1", "alice@kestrava.net"};
    EXPECT_EQ(p2p_notice_body(note, receiver),
              R"({"hex":"0100","metadata":{"note":"payment","pubkey":"02ab","sender":"alice@kestrava.net",)"
              R"("signature":"SIG="},"reference":"ref-1"})");
    receiver.reference = "\xff";
    EXPECT_EQ(p2p_notice_body(note, receiver), "");
}

struct P2pNoticeTest : ::testing::Test {
    FakeServer server;
    std::string identity_pub;

    void SetUp() override {
        server.on("POST", "/p2p/.*", [](const FakeRequest&) { return FakeResponse{200, "{}"}; });
        auto lock = lock_wallet();
        reset_wallet_state_for_tests();
        KvCofferlyWallet& w = kv_wallet();
        w.mnemonic = kTestMnemonic;
        w.is_hd = true;
        w.priv = std::string(63, '0') + "1";
        w.address = "1BgGZ9tcN4rm9KBzDn7KprQz87SZ26SAMH";
        std::string priv, address;
        ASSERT_TRUE(derive_path({44 | kHardened, 236 | kHardened, 100 | kHardened, 0, 0}, priv, identity_pub, address));
        wipe(priv);
    }
    void TearDown() override { reset_wallet_state_for_tests(); }

    // The notices are posted before notify_p2p_payment returns.
    bool posted(int count) { return server.request_count("/p2p/") == count; }

    static std::string address_of(std::uint8_t fill) {
        Hash160 h;
        h.fill(fill);
        return base58check_encode(h);
    }
    static TxOutput pay(const std::string& address, std::uint64_t sats) {
        return TxOutput{sats, p2pkh_script(test_hash_of(address))};
    }
};

TEST_F(P2pNoticeTest, ExactPaymentsAreNotifiedInOutputOrder) {
    const std::string a = address_of(0xa1), b = address_of(0xb2), c = address_of(0xc3);
    add_p2p_destination(a, {server.base_url() + "/p2p/a", "ref-a", "me@kestrava.net", 1000});
    add_p2p_destination(b, {server.base_url() + "/p2p/b", "ref-b", "me@kestrava.net", 2000});
    add_p2p_destination(c, {server.base_url() + "/p2p/c", "ref-c", "me@kestrava.net", 3000});
    Bytes data_script = {0x00, 0x6a};
    const std::vector<TxOutput> outputs = {pay(c, 2999), TxOutput{0, data_script}, pay(b, 2000), pay(a, 1000)};

    // Nothing is sent or consumed for a malformed id, an empty transaction or a wallet without a key.
    notify_p2p_payment("AB01", kTxid.substr(1), outputs);
    notify_p2p_payment("AB01", kTxid.substr(1) + "g", outputs);
    notify_p2p_payment("", kTxid, outputs);
    const std::string mnemonic = kv_wallet().mnemonic;
    kv_wallet().mnemonic.clear(); // no identity key to sign with
    notify_p2p_payment("AB01", kTxid, outputs);
    kv_wallet().mnemonic = mnemonic;
    P2pDestination left;
    EXPECT_TRUE(find_p2p_destination(a, left));
    EXPECT_TRUE(find_p2p_destination(b, left));

    notify_p2p_payment("AB01", kTxid, outputs);
    ASSERT_TRUE(posted(2));
    const auto requests = server.requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].path, "/p2p/b");
    EXPECT_EQ(requests[1].path, "/p2p/a");
    for (const auto& req : requests) {
        SCOPED_TRACE(req.path);
        const auto body = nlohmann::json::parse(req.body, nullptr, false);
        ASSERT_TRUE(body.is_object() && body["metadata"]["signature"].is_string());
        EXPECT_EQ(body["hex"], "ab01");
        EXPECT_EQ(body["reference"], req.path == "/p2p/a" ? "ref-a" : "ref-b");
        EXPECT_EQ(body["metadata"]["pubkey"], identity_pub);
        EXPECT_EQ(recover_signer(body["metadata"]["signature"].get<std::string>(), kTxid), identity_pub);
    }

    // Consumed entries are gone; the one paid a satoshi short waits for an exact payment.
    EXPECT_FALSE(find_p2p_destination(a, left));
    EXPECT_FALSE(find_p2p_destination(b, left));
    ASSERT_TRUE(find_p2p_destination(c, left));
    notify_p2p_payment("ab02", kTxid, {pay(c, 3000)});
    ASSERT_TRUE(posted(3));
    EXPECT_FALSE(find_p2p_destination(c, left));
}

} // namespace
