#include "identity/paymail_announce.h"

#include "identity/paymail_registry.h"
#include "support/temp_dir.h"
#include "support/wallet_fixture.h"
#include "wallet/identity_services.h"
#include "wallet/keys.h"
#include "wallet/kv_cofferly_wallet.h"
#include "wallet/registry.h"
#include "wallet/session.h"
#include "wallet/settings.h"
#include "wallet/wallet_file.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

using nlohmann::json;

namespace {

const char* kLegacyPriv = "0c28fca386c7a227600b2fe50b7cae11ec86d3bf1fbe471be89827e19d72aa1d";

std::string paymail_event(const std::string& alias) {
    return build_status_event(kCofferlyTag, "paymail",
                              alias.empty() ? "" : alias + "@" + service_settings().paymail_domain);
}

json read_json(const std::string& path) {
    return json::parse(test_read_file(path), nullptr, false);
}

json hd_wallet(const json& extra = json::object()) {
    json doc = {{"version", 2}, {"mnemonic", kTestMnemonic}, {"recv", {0, 0, 0, 0, 0, 0}}, {"show", 0}};
    doc.update(extra);
    return doc;
}

// A wallet "w1", named "Main" in the registry, loaded from the given file; collects status events.
struct Announce : SinkCapture {
    TempDataDir dir;
    std::string wallet_path;

    explicit Announce(const json& wallet_doc, const json& paymail_registry = json::object()) {
        reset_wallet_state_for_tests();
        kv_wallet().wallet_id = "w1";
        wallet_path = wallet_file_path();
        test_write_file(wallet_path, wallet_doc.dump(2));
        test_write_file(dir.data_dir + "/wallets.json", R"({"wallets": [{"id": "w1", "name": "Main"}]})");
        test_write_file(paymail_registry_path(), paymail_registry.dump(2));
        WalletLock lock = lock_wallet();
        EXPECT_TRUE(load_wallet());
    }
    ~Announce() { reset_wallet_state_for_tests(); }
    void run() {
        WalletLock lock = lock_wallet();
        announce_wallet_paymail();
    }
};

} // namespace

TEST(PaymailAlias, NormalFormKeepsTheLowerCaseCore) {
    EXPECT_EQ(normalize_paymail_alias(" @$Alice@kestrava.net\r\n"), "alice");
    EXPECT_EQ(normalize_paymail_alias("we ird/Name "), "we ird/name") << "nothing is filtered out";
    EXPECT_EQ(normalize_paymail_alias("@\r\n"), "");
}

TEST(PaymailAnnounce, SettlesTheAliasOnce) {
    std::string key, legacy_key;
    {
        Announce probe(hd_wallet());
        key = kv_wallet().identity_pub;
    }
    ASSERT_TRUE(priv_hex_to_pub_hex(kLegacyPriv, legacy_key));
    const json bob_registry = {{"names", {{"bob", {{"pubkey", key}}}}}, {"self", "bob"}};

    struct Row {
        const char* name;
        json wallet;
        json registry;
        std::string alias;
        std::vector<std::string> events;
        bool saved;
        std::string wallet_name;
    } rows[] = {
        // clang-format off
        {"stored alias normalised in memory only", hd_wallet({{"paymail", " @Alice\r\n"}}), bob_registry,
         "alice", {paymail_event("alice")}, false, "alice"},
        {"alias adopted from the registry, saved and announced first", hd_wallet(), bob_registry,
         "bob", {paymail_event("bob"), paymail_event("bob")}, true, "bob"},
        {"no alias anywhere", hd_wallet(), json::object(), "", {paymail_event("")}, false, "Main"},
        {"older single-key wallet adopts nothing", json{{"priv", kLegacyPriv}},
         json{{"names", {{"dave", {{"pubkey", legacy_key}}}}}}, "", {paymail_event("")}, false, "Main"},
        // clang-format on
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        Announce a(row.wallet, row.registry);
        const std::string file_before = test_read_file(a.wallet_path);
        a.run();
        EXPECT_EQ(kv_wallet().paymail, row.alias);
        EXPECT_EQ(a.events, row.events);
        EXPECT_EQ(test_read_file(a.wallet_path) != file_before, row.saved);
        if (row.saved) {
            EXPECT_EQ(read_json(a.wallet_path)["paymail"], row.alias);
        }
        EXPECT_EQ(wallet_name_for_id("w1"), row.wallet_name);
        if (row.alias.empty()) continue;
        const json registry = read_json(paymail_registry_path());
        EXPECT_EQ(registry["names"][row.alias]["pubkey"], key);
        EXPECT_EQ(registry["self"], row.alias);
    }
}

TEST(PaymailAnnounce, TakesWhatTheWalletProgramChangedAndItsAvatar) {
    Announce a(hd_wallet({{"paymail", "alice"}, {"ord_avatar", "ab12_0"}}));
    const std::string key = kv_wallet().identity_pub;
    a.run();
    json registry = read_json(paymail_registry_path());
    EXPECT_EQ(registry["avatars"][key], "ab12_0");
    EXPECT_EQ(registry["names"]["alice"]["avatar"], "ab12_0");

    // The wallet program renames the wallet and drops its avatar while this program runs.
    test_write_file(a.wallet_path, hd_wallet({{"paymail", "Carol"}}).dump(2));
    a.events.clear();
    a.run();
    EXPECT_EQ(a.events, std::vector<std::string>{paymail_event("carol")});
    EXPECT_EQ(wallet_name_for_id("w1"), "carol");
    registry = read_json(paymail_registry_path());
    EXPECT_FALSE(registry["avatars"].contains(key));
    EXPECT_FALSE(registry["names"]["alice"].contains("avatar"));
    EXPECT_EQ(registry["names"]["carol"]["pubkey"], key);
}
