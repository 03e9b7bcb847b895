// Signed messages are judged by libsecp256k1 over the signed-message digest built in the test
// code, apart from the product's own signer and verifier.
#include "identity/typed_sign.h"

#include "fakes/registry_fixture.h"
#include "fakes/secp_check.h"
#include "wallet/crypto.h"
#include "wallet/kv_cofferly_wallet.h"
#include "wallet/session.h"
#include "wallet/settings.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

using nlohmann::json;

namespace {

bool secp_verifies(const json& msg) {
    if (!msg.contains("sig") || !msg["sig"].is_string() || !msg["pubkey"].is_string()) return false;
    Bytes rs, pub = from_hex(msg["pubkey"].get<std::string>());
    if (!base64_decode(msg["sig"].get<std::string>(), rs) || rs.size() != 64 || pub.size() != 33) return false;
    const Digest digest = expected_message_digest(canonical_message_preimage(msg));
    SecpContext ctx = secp_context();
    secp256k1_ecdsa_signature sig;
    secp256k1_pubkey key;
    return secp256k1_ecdsa_signature_parse_compact(ctx.get(), &sig, rs.data()) &&
           secp256k1_ec_pubkey_parse(ctx.get(), &key, pub.data(), pub.size()) &&
           secp256k1_ecdsa_verify(ctx.get(), &sig, digest.data(), &key) == 1;
}

struct TypedSignTest : FakeIdentityTest {
    std::string identity, address;
    const std::int64_t now = clock.system_ms / 1000;

    void connect(const std::string& alias) {
        write_test_wallet_file("w1");
        ASSERT_TRUE(load_wallet_id("w1"));
        WalletLock lock = lock_wallet();
        kv_wallet().paymail = alias;
        identity = kv_wallet().identity_pub;
        address = kv_wallet().address;
        ids.set_key("alice@" + service_settings().paymail_domain, identity);
    }
    std::string pki_error() const {
        return "identity signature did not verify against " + service_settings().platform_host + " PKI";
    }
};

TEST_F(TypedSignTest, WithoutAWalletNothingIsSigned) {
    const char* messages[] = {R"({"protocol":"KV-Art","type":"art_pair","handle":"alice"})",
                              R"({"protocol":"KV-Tradeloom","type":"nt_offer"})",
                              R"({"type":"web_gate","handle":"alice"})", "null"};
    for (const char* text : messages) {
        SCOPED_TRACE(text);
        json msg = json::parse(text);
        std::string error;
        EXPECT_FALSE(sign_typed_message(msg, error));
        EXPECT_EQ(error, "Connect Cofferly");
        EXPECT_FALSE(msg.contains("sig"));
    }
    for (const char* text : {"[1]", "\"text\""}) {
        json msg = json::parse(text);
        std::string error;
        EXPECT_FALSE(sign_typed_message(msg, error));
        EXPECT_FALSE(error.empty());
        EXPECT_EQ(msg, json::parse(text));
    }
}

TEST_F(TypedSignTest, DefaultFlowNamesTheWalletAndKeepsANumericTime) {
    connect(" @Alice\r\n");
    struct Row {
        const char* ts;
        std::int64_t expected;
    } rows[] = {{"1700000000", 1700000000}, {"\"1700000000\"", now}, {"null", now}, {"1.5e9", 1500000000}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.ts);
        json msg = {{"protocol", "KV-Art"}, {"type", "art_pair"}, {"location", "art"}, {"handle", "Alice"},
                    {"actor", "mallory"},   {"pic", "p_0"},       {"cert", "c_0"},     {"ts", json::parse(row.ts)}};
        std::string error;
        ASSERT_TRUE(sign_typed_message(msg, error)) << error;
        EXPECT_EQ(msg["actor"], "alice");
        EXPECT_EQ(msg["paymail"], full_paymail("alice"));
        EXPECT_TRUE(msg["ts"].is_number());
        EXPECT_EQ(msg_field_int(msg, "ts"), row.expected);
        EXPECT_EQ(msg["pubkey"], identity);
        EXPECT_TRUE(secp_verifies(msg));
        EXPECT_NE(canonical_message_preimage(msg).find("|alice|alice|" + std::to_string(row.expected) + "|"),
                  std::string::npos);
    }
}

TEST_F(TypedSignTest, DefaultFlowRefusesWhatFailsItsOwnCheck) {
    connect("alice");
    // Signed, but without a handle the record is not genuine.
    json no_handle = {{"protocol", "KV-Art"}, {"type", "art_pair"}, {"location", "art"}};
    std::string error;
    EXPECT_FALSE(sign_typed_message(no_handle, error));
    EXPECT_EQ(error, pki_error());
    EXPECT_TRUE(secp_verifies(no_handle));

    // The platform names another key for the alias.
    ids.set_key("alice@" + service_settings().paymail_domain, "02" + std::string(64, '1'));
    json other_key = {{"protocol", "KV-Art"}, {"type", "art_pair"}, {"location", "art"}, {"handle", "alice"}};
    EXPECT_FALSE(sign_typed_message(other_key, error));
    EXPECT_EQ(error, pki_error());
}

TEST_F(TypedSignTest, TradingFlowSpeaksAsTheAliasOrTheReceiveAddress) {
    for (const std::string alias : {"", "alice"}) {
        SCOPED_TRACE(alias);
        connect(alias);
        json msg = {{"protocol", "KV-Tradeloom"}, {"type", "nt_offer"}, {"location", "elsewhere"},
                    {"paymail", "x@y"},           {"ts", "5"},          {"sats", 1000}};
        std::string error;
        ASSERT_TRUE(sign_typed_message(msg, error)) << error;
        const std::string speaker = alias.empty() ? address : alias;
        EXPECT_EQ(msg["handle"], speaker);
        EXPECT_EQ(msg["actor"], speaker);
        EXPECT_EQ(msg["pay_addr"], address);
        EXPECT_EQ(msg["location"], "tradeloom");
        EXPECT_EQ(msg.contains("paymail"), !alias.empty());
        if (!alias.empty()) {
            EXPECT_EQ(msg["paymail"], full_paymail(alias));
        }
        EXPECT_EQ(msg["ts"], now);
        EXPECT_TRUE(secp_verifies(msg));
    }
}

TEST_F(TypedSignTest, WebGateFlowDropsWhatItsFormDoesNotSign) {
    connect("alice");
    json msg = {{"protocol", "KV-Art"}, {"type", "web_gate"}, {"handle", "mallory"}, {"origin", "https://a.example"},
                {"path", "/in"},        {"nonce", "n1"},      {"message", "hi"},     {"channel", "c"},
                {"location", "l"},      {"actor", "x"},       {"paymail", "p"},      {"ts", 5},
                {"site_addr", "s"},     {"site_sats", 1},     {"fee_addr", "f"},     {"fee_sats", 2},
                {"pubkey", "02"},       {"sig", "old"}};
    std::string error;
    ASSERT_TRUE(sign_typed_message(msg, error)) << error;
    EXPECT_EQ(msg["handle"], "alice");
    for (const char* key : {"actor", "paymail", "ts", "protocol", "location", "channel", "site_addr", "site_sats",
                            "fee_addr", "fee_sats"})
        EXPECT_FALSE(msg.contains(key)) << key;
    EXPECT_EQ(canonical_message_preimage(msg), "KV1|web_gate|alice|https://a.example|/in|hi|n1");
    EXPECT_TRUE(secp_verifies(msg));
}

} // namespace
