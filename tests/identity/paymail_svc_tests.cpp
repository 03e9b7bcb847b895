#include "chain/coin_state.h"
#include "identity/paymail_claim.h"
#include "identity/paymail_registry.h"
#include "identity/recipient.h"
#include "identity/wallet_status.h"

#include "chain/inscription.h"
#include "fakes/chain_fixture.h"
#include "fakes/fake_paymail.h"
#include "support/temp_dir.h"
#include "support/wallet_fixture.h"
#include "wallet/http_client.h"
#include "wallet/kv_cofferly_wallet.h"
#include "wallet/registry.h"
#include "wallet/session.h"
#include "wallet/settings.h"
#include "wallet/wallet_file.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

using nlohmann::json;

namespace {

ServiceSettings with_local(const FakeChain& chain, const FakePaymail& paymail) {
    ServiceSettings s = settings_for(chain);
    s.local_bsvalias_base = paymail.local.base_url();
    return s;
}

// HD wallet "w1" of the test mnemonic with the alias "alice", loaded; the paymail routes served.
struct PaymailTest : FakeChainTest {
    FakePaymail paymail;
    ScopedServiceSettings local_settings{with_local(chain, paymail)};
    SinkCapture sink;
    std::string pubkey;

    PaymailTest() {
        serve_fake_paymail(chain.platform, paymail);
        forget_last_paymail_claim();
        reset_wallet_status_refresh();
        WalletLock lock = lock_wallet();
        clear_wallet_session();
        const json doc = {{"mnemonic", kTestMnemonic}, {"recv", {0, 0, 0, 0, 0, 0}}, {"paymail", "alice"}};
        test_write_file(wallet_file_path_for_id("w1"), doc.dump(2));
        EXPECT_TRUE(load_wallet_id("w1"));
        pubkey = kv_wallet().identity_pub;
    }
    ~PaymailTest() override {
        WalletLock lock = lock_wallet();
        clear_wallet_session();
        forget_last_paymail_claim();
        reset_wallet_status_refresh();
    }
    json registry() { return json::parse(test_read_file(paymail_registry_path()), nullptr, false); }
    std::string domain() { return service_settings().paymail_domain; }
};

} // namespace

TEST_F(PaymailTest, SignedClaimIsAcceptedAndSentOncePerChange) {
    claim_paymail_if_changed("alice", pubkey, kTestReceive0, "", "1OrdAddressIsOnlyText");
    claim_paymail_if_changed("alice", pubkey, kTestReceive0, "", "1OrdAddressIsOnlyText");
    std::vector<json> claims = paymail.claims(); // the fake checked each signature with libsecp256k1
    ASSERT_EQ(claims.size(), 1u);
    const json& c = claims[0];
    EXPECT_EQ(c.value("alias", ""), "alice");
    EXPECT_EQ(c.value("pubkey", ""), pubkey);
    EXPECT_TRUE(c.contains("avatar")) << "sent even when empty";
    EXPECT_EQ(c.value("ordAddress", ""), "1OrdAddressIsOnlyText");
    EXPECT_EQ(c.value("bnPub", "").size(), 66u);
    EXPECT_EQ(c.value("ts", 0LL), clock.system_ms / 1000);

    claim_paymail_if_changed("alice", pubkey, kTestReceive0, "avatar_0", "1OrdAddressIsOnlyText");
    EXPECT_EQ(paymail.claims().size(), 2u) << "a changed avatar is claimed again";

    // A refused claim is not remembered, so the next run sends it again.
    paymail.set_claim_reply(json_reply({{"error", "busy"}}, 503));
    claim_paymail_if_changed("alice", pubkey, kTestReceive1, "", "");
    paymail.tables->claim_reply.reset();
    claim_paymail_if_changed("alice", pubkey, kTestReceive1, "", "");
    EXPECT_EQ(paymail.claims().size(), 3u);
    EXPECT_EQ(chain.platform.request_count("/api/paymail/claim"), 4);
}

TEST_F(PaymailTest, ClaimFailureTexts) {
    EXPECT_EQ(claim_paymail("alice", std::string(66, 'a'), kTestReceive0, "", ""), "identity pubkey mismatch");
    const FakeResponse html{500, "<html>down</html>", "text/html"};
    struct Row {
        const char* name;
        FakeResponse reply;
        std::string text;
    } rows[] = {
        {"host's own words", json_reply({{"error", "alias taken"}}, 409), "alias taken"},
        {"HTML page", html, http_error_text(500, "<html>down</html>")},
        {"empty error", json_reply({{"error", ""}}, 403), http_error_text(403, R"({"error":""})")},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        paymail.set_claim_reply(row.reply);
        EXPECT_EQ(claim_paymail("@Alice", pubkey, kTestReceive0, "", ""), row.text);
    }
    ServiceSettings closed = with_local(chain, paymail);
    closed.platform_base = "http://127.0.0.1:1";
    ScopedServiceSettings s(closed);
    const std::string text = claim_paymail("alice", pubkey, kTestReceive0, "", "");
    EXPECT_FALSE(text.empty());
    EXPECT_NE(text, "paymail host refused") << "the transfer library's words";
}

TEST_F(PaymailTest, ClaimAllSendsEveryLabelOfTheKey) {
    test_write_file(
        paymail_registry_path(),
        json{
            {"names", {{"bob", {{"pubkey", pubkey}}}, {"alice", {{"pubkey", pubkey}}}, {"carl", {{"pubkey", "02ff"}}}}}}
            .dump());
    claim_paymail_if_changed("alice", pubkey, kTestReceive0, "", "");
    claim_all_paymails(pubkey, kTestReceive0, "", "");
    const std::vector<json> claims = paymail.claims();
    ASSERT_EQ(claims.size(), 3u) << "the remembered claim is forgotten first";
    EXPECT_EQ(claims[1].value("alias", ""), "alice");
    EXPECT_EQ(claims[2].value("alias", ""), "bob");
}

TEST_F(PaymailTest, QuotaReplySetsOrKeepsTheHostRole) {
    struct Row {
        const char* name;
        FakeResponse reply;
        const char* role; // "" = host_role absent
    } rows[] = {
        {"known role", json_reply({{"role", "dev"}}), "dev"},
        {"default role", json_reply({{"role", "default"}}), ""},
        {"no role", json_reply(json::object()), ""},
        {"unknown role", json_reply({{"role", "king"}}), ""},
        {"role of another type", json_reply({{"role", 5}}), "operator"},
        {"not an object", json_reply(json::array({"dev"})), "operator"},
        {"broken JSON", FakeResponse{200, "{\"role\":", "application/json"}, "operator"},
        {"refused", json_reply({{"role", "dev"}}, 500), "operator"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        test_write_file(paymail_registry_path(), R"({"host_role":"operator"})");
        paymail.set(&FakePaymailTables::quota, pubkey, row.reply);
        paymail_quota_refresh();
        EXPECT_EQ(registry().value("host_role", ""), row.role);
    }
}

// The confirmation of a pass shows the address the pass will use, resolved as the pass resolves
// it; the local service's answer reaches the caller alone and is neither recorded nor kept.
TEST_F(PaymailTest, ConfirmationResolvesTheAddressThePassUses) {
    const std::string carol = "carol@" + domain();
    paymail.set(&FakePaymailTables::local_address, carol, json_reply({{"ordAddress", kTestReceive0}}));
    paymail.set(&FakePaymailTables::address, "dan@" + domain(), json_reply({{"ordAddress", kTestReceive1}}));
    const std::string erin = test_key_from_byte(0x45).address;
    test_write_file(paymail_registry_path(), json{{"names", {{"erin", {{"ordAddress", erin}}}}}}.dump());
    struct Row {
        const char* text;
        bool ok;
        std::string paymail, address, error;
        bool from_loopback;
    } rows[] = {
        {"erin", true, "erin@" + domain(), erin, "", false},
        {" @Dan ", true, "dan@" + domain(), kTestReceive1, "", false},
        {"carol", true, carol, kTestReceive0, "", true},
        // The title passes to an identity: an address is refused before the user is asked.
        {kTestReceive1, false, "", "",
         "an address names no identity to pass the title to: use their handle or an @" + domain() + " paymail.", false},
        {"bob+1", false, "", "", kRecipientAlphabetError, false},
        {"nobody", false, "", "", "no ordinals address for nobody@" + domain(), false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.text);
        RecipientAddress out;
        std::string error;
        EXPECT_EQ(resolve_recipient_for_confirmation(row.text, out, error), row.ok);
        EXPECT_EQ(out.paymail, row.paymail);
        EXPECT_EQ(out.address, row.address);
        EXPECT_EQ(out.from_loopback, row.from_loopback);
        EXPECT_EQ(error, row.error);
    }
    EXPECT_EQ(registry()["names"]["dan"].value("ordAddress", ""), kTestReceive1) << "the platform's answer is kept";
    EXPECT_FALSE(registry()["names"].contains("carol")) << "the local answer is never recorded";
    // Nor kept in memory: a pass that was not confirmed with it does not reach it.
    std::string error, handle;
    EXPECT_EQ(resolve_recipient_local("carol", error, handle), "");
    EXPECT_EQ(handle, "carol");
    EXPECT_EQ(paymail.local.request_count("/api/bsvalias/address/"), 2) << "carol and nobody";
}

// Only the platform's answer is recorded, and only under the label asked. The local service's
// answer is neither recorded nor kept: only a confirmation hands it on.
TEST_F(PaymailTest, OnlineLookUpRecordsOnlyThePlatformsAnswer) {
    std::string broken = kTestReceive1;
    broken.back() = 'z';
    const std::string carol = "carol@" + domain();
    paymail.set(&FakePaymailTables::address, carol, json_reply({{"ordAddress", broken}}));
    paymail.set(&FakePaymailTables::local_address, carol, json_reply({{"ordAddress", kTestReceive0}}));
    paymail.set(&FakePaymailTables::address, "dan@" + domain(), json_reply({{"ordAddress", kTestReceive1}}));
    paymail.set(&FakePaymailTables::address, "Dan@" + domain(), json_reply({{"ordAddress", kTestReceive0}}));
    paymail.set(&FakePaymailTables::address, "x?y@" + domain(), json_reply({{"ordAddress", kTestReceive1}}));
    test_write_file(paymail_registry_path(), "{}");

    WalletLock lock = lock_wallet();
    std::string error;
    EXPECT_EQ(resolve_recipient_ord_address(lock, " @Carol ", error), "");
    EXPECT_TRUE(lock.owns_lock());
    EXPECT_NE(error.find(kTestReceive0), std::string::npos) << error;
    EXPECT_FALSE(registry().contains("names")) << "the local answer is never recorded";
    std::string handle;
    EXPECT_EQ(resolve_recipient_local("carol", error, handle), "") << "nor kept for a later pass";
    EXPECT_EQ(handle, "carol");
    EXPECT_EQ(resolve_recipient_ord_address(lock, "carol", error), "");
    EXPECT_EQ(paymail.local.request_count("/api/bsvalias/address/"), 2);
    EXPECT_EQ(resolve_recipient_ord_address(lock, "dan", error), kTestReceive1);

    EXPECT_EQ(resolve_recipient_ord_address(lock, "Dan", error), kTestReceive1);
    EXPECT_EQ(error, "");
    EXPECT_EQ(resolve_recipient_local("dan", error, handle), kTestReceive1);
    const json entry = registry()["names"]["dan"];
    EXPECT_EQ(entry.value("ordAddress", ""), kTestReceive1);
    EXPECT_FALSE(entry.contains("pubkey"));
    // Asked for a name that is not a label as it stands, the answer is used but stored nowhere.
    lock.unlock();
    EXPECT_EQ(bsvalias_ord_address("Dan", error), kTestReceive0);
    lock.lock();
    EXPECT_EQ(registry()["names"]["dan"].value("ordAddress", ""), kTestReceive1);

    EXPECT_EQ(resolve_recipient_ord_address(lock, "x?y", error), "");
    EXPECT_EQ(error, kRecipientAlphabetError);
    EXPECT_EQ(resolve_recipient_ord_address(lock, "nobody", error), "");
    EXPECT_EQ(error, "no ordinals address for nobody@" + domain());
    EXPECT_TRUE(lock.owns_lock());
    EXPECT_EQ(paymail.local.request_count("/api/bsvalias/address/"), 3) << "carol twice and nobody";
    EXPECT_EQ(chain.platform.request_count("/api/bsvalias/address/x"), 0);
}

TEST_F(PaymailTest, StatusRunReportsBalanceClaimsAndThrottles) {
    chain.ledger.fund(kTestReceive0, 50000, true);
    paymail.set(&FakePaymailTables::quota, pubkey, json_reply({{"role", "dev"}}));
    WalletStatus status;
    refresh_wallet_status(status);
    EXPECT_EQ(status.loaded, 1);
    EXPECT_EQ(status.is_hd, 1);
    EXPECT_EQ(status.balance_known, 1);
    EXPECT_EQ(status.address, kTestReceive0);
    EXPECT_EQ(status.balance, 50000);
    {
        std::lock_guard<std::mutex> hold(sink.mutex);
        const std::string sep(1, kStatusSeparator);
        EXPECT_NE(std::find(sink.events.begin(), sink.events.end(),
                            build_status_event(kCofferlyTag, "status", kTestReceive0, "50000", "hd")),
                  sink.events.end());
        EXPECT_EQ(sink.events.back(), build_status_event(kCofferlyTag, "paymail", "alice@" + domain()));
    }
    EXPECT_EQ(paymail.claims().size(), 1u);
    EXPECT_EQ(registry().value("host_role", ""), "dev");
    EXPECT_EQ(connected_paymail(), "alice@" + domain());
    // Two balance-scan requests find no used receive address, two bulk listings cover every
    // address, and the funded one has its mempool history read.
    EXPECT_EQ(chain.woc.request_count(kWocPrefix), 5);

    const int listed = chain.woc.request_count(std::string(kWocPrefix) + "/address/");
    clock.advance(1000);
    refresh_wallet_status(status);
    EXPECT_EQ(chain.woc.request_count(std::string(kWocPrefix) + "/address/"), listed) << "fresh caches, no requests";
    EXPECT_EQ(status.balance, 50000);
    EXPECT_EQ(paymail.claims().size(), 1u) << "nothing changed, nothing claimed";
}

// While the services refuse the coin listings a balance cannot be known, and must never read as
// zero: neither when every listing fails nor when only the unconfirmed one answers (empty). Once
// the services answer again, the next run reads the coins instead of trusting an empty list.
TEST_F(PaymailTest, StatusRunNeverTurnsRefusedListingsIntoZero) {
    chain.ledger.fund(kTestReceive0, 594000, true);
    const std::string address = std::string(kWocPrefix) + "/address/" + kTestReceive0;
    struct Row {
        const char* name;
        std::vector<std::string> refused;
        bool after_a_read = false; // the coins of the last run stand: the figure is theirs, and says so
    } rows[] = {
        {"every listing", {std::string(kWocPrefix) + "/address/", std::string(kWocPrefix) + "/addresses/"}},
        {"the confirmed listings", {address + "/unspent", std::string(kWocPrefix) + "/addresses/"}},
        {"every listing after a read", {std::string(kWocPrefix) + "/"}, true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        if (!row.after_a_read) {
            WalletLock lock = lock_wallet();
            clear_coin_caches();
        }
        clock.advance(row.after_a_read ? kStatusRefreshThrottleMs : 0);
        reset_wallet_status_refresh();
        FakeFault refused;
        refused.status = 429;
        for (const std::string& prefix : row.refused)
            chain.woc.set_fault(prefix, refused);
        WalletStatus status;
        refresh_wallet_status(status);
        if (row.after_a_read) {
            EXPECT_EQ(status.balance, 594000);
        } else {
            EXPECT_TRUE(status.balance_known == 0 || status.balance < 0) << status.balance;
        }
        EXPECT_NE(status.balance, 0);
        EXPECT_EQ(status.balance_fresh, 0);

        chain.woc.clear_faults();
        clock.advance(1000);
        refresh_wallet_status(status);
        EXPECT_EQ(status.balance_known, 1);
        EXPECT_EQ(status.balance, 594000);
        EXPECT_EQ(status.balance_fresh, 1);
    }
}

// The wallet program's data on the wallet's own label outlives every claim this program makes: the
// status run, the alias look-up and a restart.
TEST_F(PaymailTest, WalletProgramKeysOfTheLabelSurviveClaimsAndRestart) {
    std::string ord;
    {
        WalletLock lock = lock_wallet();
        ord = derive_ordinals_key();
    }
    ASSERT_FALSE(ord.empty());
    const json alice = {{"pubkey", pubkey}, {"ordAddress", ord}, {"cofferlyOnly", {{"kept", 1}}}};
    test_write_file(paymail_registry_path(), json{{"self", "alice"}, {"names", {{"alice", alice}}}}.dump(2));
    paymail.set(&FakePaymailTables::quota, pubkey, json_reply({{"role", "dev"}}));

    auto check = [&](const char* step) {
        SCOPED_TRACE(step);
        const json entry = registry()["names"]["alice"];
        EXPECT_EQ(entry.value("ordAddress", ""), ord);
        EXPECT_EQ(entry.value("cofferlyOnly", json()), json({{"kept", 1}}));
        EXPECT_EQ(entry.value("pubkey", ""), pubkey);
        EXPECT_EQ(ord_address_for_name("alice"), ord);
    };
    WalletStatus status;
    refresh_wallet_status(status);
    check("status run");
    EXPECT_EQ(connected_paymail_alias(), "alice");
    check("alias");
    {
        WalletLock lock = lock_wallet();
        clear_wallet_session();
        ASSERT_TRUE(load_wallet_id("w1"));
    }
    forget_last_paymail_claim();
    clock.advance(kStatusRefreshThrottleMs + 1);
    const std::string before = test_read_file(paymail_registry_path());
    refresh_wallet_status(status);
    check("restart");
    EXPECT_EQ(test_read_file(paymail_registry_path()), before) << "nothing changed, nothing written";
}

TEST_F(PaymailTest, StatusWithoutWalletSendsBareEvents) {
    {
        WalletLock lock = lock_wallet();
        clear_wallet_session();
        kv_wallet().wallet_id.clear();
    }
    WalletStatus status;
    status.balance = 7;
    refresh_wallet_status(status);
    EXPECT_EQ(status.loaded, 0);
    EXPECT_EQ(status.balance, 0);
    EXPECT_EQ(connected_paymail(), "");
    std::lock_guard<std::mutex> hold(sink.mutex);
    ASSERT_GE(sink.events.size(), 2u);
    EXPECT_EQ(sink.events[sink.events.size() - 2], build_status_event(kCofferlyTag, "status"));
    EXPECT_EQ(sink.events.back(), build_status_event(kCofferlyTag, "paymail"));
}
