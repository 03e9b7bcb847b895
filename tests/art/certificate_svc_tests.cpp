#include "art/certificate.h"

#include "fakes/fake_gorillapool.h"
#include "fakes/fake_paymail.h"
#include "fakes/registry_fixture.h"
#include "wallet/kv_cofferly_wallet.h"

#include <gtest/gtest.h>

using nlohmann::json;

namespace {

const std::string kConnectFirst = "error: Connect Cofferly and publish a @kestrava.net paymail first.";

struct CertificateTest : FakeChainTest {
    FakeGorillaPool gp{chain.ledger};
    ScopedServiceSettings gp_settings{settings_for(chain, gp)};
    FakePaymail paymail;

    CertificateTest() { serve_fake_paymail(chain.platform, paymail); }

    // The origin of a new inscription of the text.
    std::string inscribe(const std::string& content_type, const std::string& text) {
        Hash160 owner{};
        owner.fill(0x11);
        return fake_inscribe(chain, owner, content_type, text);
    }

    void set_frozen_reply(const std::string& key, const FakeResponse& reply) {
        paymail.set(&FakePaymailTables::identity, key, reply);
    }

    int frozen_requests() { return chain.platform.request_count("/api/paymail/identity/"); }
};

} // namespace

TEST_F(CertificateTest, ReadsOnlyJsonObjects) {
    const json cert = {{"pic", std::string(64, 'a') + "_0"}, {"sha256", std::string(64, 'B')}, {"artist", "02ab"}};
    struct Row {
        const char* name;
        std::string origin;
        std::string error;
    } rows[] = {
        {"certificate", inscribe("application/json", cert.dump()), ""},
        {"content type not looked at", inscribe("text/plain", cert.dump()), ""},
        {"array", inscribe("application/json", "[1,2]"), "that inscription is not a certificate"},
        {"number", inscribe("application/json", "42"), "that inscription is not a certificate"},
        {"plain text", inscribe("text/plain", "hello"), "that inscription is not a certificate"},
        {"truncated object", inscribe("application/json", cert.dump().substr(0, 20)),
         "that inscription is not a certificate"},
        {"unknown origin", std::string(64, 'c') + "_0", "could not read that inscription"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        json out = 1;
        std::string error = "x";
        EXPECT_EQ(read_certificate_inscription(row.origin, out, error), row.error.empty());
        EXPECT_EQ(error, row.error);
        if (row.error.empty()) {
            EXPECT_EQ(out, cert);
            EXPECT_TRUE(certificate_well_formed(out));
        } else {
            EXPECT_TRUE(out.is_null());
        }
    }
}

TEST_F(CertificateTest, FrozenLookupFailsOpen) {
    const std::string key = "02" + std::string(64, 'a');
    struct Row {
        const char* name;
        FakeResponse reply;
        bool frozen;
    } rows[] = {
        {"frozen", json_reply({{"frozen", true}}), true},
        {"not frozen", json_reply({{"frozen", false}}), false},
        {"no frozen key", json_reply(json::object()), false},
        {"frozen as text", json_reply({{"frozen", "true"}}), false},
        {"not an object", json_reply(json::array({true})), false},
        {"server error", json_reply({{"frozen", true}}, 500), false},
        {"not JSON", FakeResponse{200, "frozen", "text/plain"}, false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        set_frozen_reply(key, row.reply);
        EXPECT_EQ(paymail_identity_frozen(key), row.frozen);
    }
    chain.platform.reset_counts();
    EXPECT_FALSE(paymail_identity_frozen(""));
    EXPECT_FALSE(paymail_identity_frozen("../labels/" + key));
    EXPECT_EQ(frozen_requests(), 0);
}

TEST_F(CertificateTest, IdentityGateInOrder) {
    std::string key = "x", error;
    EXPECT_FALSE(art_identity_gate(true, key, error));
    EXPECT_EQ(error, kConnectFirst);
    EXPECT_EQ(key, "");

    write_test_wallet_file("w1");
    ASSERT_TRUE(load_wallet_id("w1"));
    std::string identity;
    {
        WalletLock lock = lock_wallet();
        identity = kv_wallet().identity_pub;
    }
    ASSERT_EQ(identity.size(), 66u);

    // A wallet without a paymail stops before its identity is looked at.
    EXPECT_FALSE(art_identity_gate(false, key, error));
    EXPECT_EQ(error, kConnectFirst);
    EXPECT_EQ(frozen_requests(), 0);

    {
        WalletLock lock = lock_wallet();
        kv_wallet().paymail = "alice";
    }
    set_frozen_reply(identity, json_reply({{"frozen", true}}));
    EXPECT_FALSE(art_identity_gate(true, key, error));
    EXPECT_EQ(error, "error: this identity is frozen.");

    set_frozen_reply(identity, json_reply({{"frozen", false}}));
    for (bool registry_write : {true, false}) {
        EXPECT_TRUE(art_identity_gate(registry_write, key, error));
        EXPECT_EQ(error, "");
        EXPECT_EQ(key, identity);
    }
}
