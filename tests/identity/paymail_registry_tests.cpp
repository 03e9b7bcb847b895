#include "identity/paymail_registry.h"

#include "fakes/fake_clock.h"
#include "platform/fs.h"
#include "support/temp_dir.h"
#include "support/wallet_fixture.h"
#include "wallet/identity_services.h"
#include "wallet/kv_cofferly_wallet.h"
#include "wallet/registry.h"
#include "wallet/settings.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <filesystem>

namespace {

using json = nlohmann::json;

const std::string kMine = "02aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa";
const std::string kOther = "03bbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbb";
const std::string kOrdA = "1LG9vh7n6uwTPJvanyYovUZqgmLyeHbKyh";
const std::string kOrdB = "1Hyoxs2Lp5dKW95bFyKh2JCtwsuS8PqML8";

void write_registry(const json& doc) {
    test_write_file(paymail_registry_path(), doc.dump(2));
}
json read_registry() {
    return json::parse(test_read_file(paymail_registry_path()));
}

void set_identity(const std::string& pub) {
    kv_wallet() = KvCofferlyWallet{};
    kv_wallet().identity_pub = pub;
}

std::string domain() {
    return service_settings().paymail_domain;
}

} // namespace

TEST(PaymailRegistry, NormalizeAndAddressTests) {
    struct Row {
        const char* in;
        const char* out;
    } rows[] = {
        {"@Alice@other.net", "alice"},          {"$ $Bob\r\n", "bob"}, {"  ca rol  ", "carol"},
        {"d\xC3\xA9nise_1-2.x", "dnise_1-2.x"}, {"@@@", ""},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.in);
        EXPECT_EQ(normalize_paymail_name(row.in), row.out);
    }
    EXPECT_TRUE(is_plausible_address("1" + std::string(25, 'x')));
    EXPECT_FALSE(is_plausible_address("1" + std::string(24, 'x')));
    EXPECT_TRUE(is_plausible_address("1" + std::string(34, 'x')));
    EXPECT_FALSE(is_plausible_address("1" + std::string(35, 'x')));
    EXPECT_FALSE(is_plausible_address("3J98t1WpEZ73CNmQviecrnyiWrnqRhWNLy"));
    EXPECT_FALSE(is_plausible_address("1LG9vh7n6uwTPJvanyYovUZqgmLyeHbK_h"));
}

TEST(PaymailRegistry, LabelsOfAnIdentity) {
    TempDataDir dir;
    write_registry({{"self", "zed"},
                    {"names",
                     {{"zed", {{"pubkey", kOther}}},
                      {"mike", {{"pubkey", upper_copy(kMine)}}},
                      {"Bob", {{"pubkey", kMine}}},
                      {"broken", "not an object"},
                      {"orphan", {{"ordAddress", kOrdA}}},
                      {"@@", {{"pubkey", kMine}}}}}});
    // "self" belongs to another key, so the smallest label of the asked key wins.
    EXPECT_EQ(primary_paymail_name_for_pubkey(kMine), "bob");
    EXPECT_EQ(primary_paymail_name_for_pubkey(upper_copy(kOther)), "zed");
    EXPECT_EQ(primary_paymail_name_for_pubkey(""), "");
    std::vector<std::string> names{"stale"};
    paymail_names_for_pubkey(kMine, names);
    EXPECT_EQ(names, (std::vector<std::string>{"bob", "mike"}));
    paymail_names_for_pubkey("", names);
    EXPECT_TRUE(names.empty());

    json doc = read_registry();
    doc["self"] = "mike";
    write_registry(doc);
    EXPECT_EQ(primary_paymail_name_for_pubkey(kMine), "mike");
}

TEST(PaymailRegistry, ClaimRules) {
    TempDataDir dir;
    write_registry({{"avatars", {{kMine, "ava"}}},
                    {"names",
                     {{"taken", {{"pubkey", kOther}}},
                      {"free", {{"ordAddress", kOrdA}, {"extra", 1}}},
                      {"a1", {{"pubkey", kMine}, {"ord", kOrdB}}}}}});

    EXPECT_EQ(claim_paymail_name("@@", kMine, ""), "need a paymail name (letters, numbers, _ - .)");
    EXPECT_EQ(claim_paymail_name("x", "", ""), "no Cofferly identity pubkey");
    const std::string before = test_read_file(paymail_registry_path());
    EXPECT_EQ(claim_paymail_name("Taken", kMine, ""), "taken@" + domain() + " is already taken");
    EXPECT_EQ(test_read_file(paymail_registry_path()), before);

    // A label without an owner is taken over; the keys the wallet program wrote stay with it.
    EXPECT_EQ(claim_paymail_name("FREE", upper_copy(kMine), "1Recv0000000000000000000000"), "");
    json doc = read_registry();
    EXPECT_EQ(doc["self"], "free");
    EXPECT_EQ(doc["names"]["free"], json({{"pubkey", kMine},
                                          {"address", "1Recv0000000000000000000000"},
                                          {"ordAddress", kOrdA},
                                          {"extra", 1},
                                          {"avatar", "ava"}}));
    EXPECT_EQ(ord_address_for_name("free"), kOrdA);
    EXPECT_EQ(doc["names"]["taken"]["pubkey"], kOther);

    // A new label without an ordinals address of its own borrows the identity's older "ord".
    EXPECT_EQ(claim_paymail_name("fresh", kMine, ""), "");
    EXPECT_EQ(read_registry()["names"]["fresh"], json({{"pubkey", kMine}, {"ord", kOrdB}, {"avatar", "ava"}}));
    EXPECT_EQ(ord_address_for_name("fresh"), kOrdB);
}

// The wallet program shares the file: a claim or an avatar that changes nothing must not write
// it, and one that does change something keeps every key this program does not know.
TEST(PaymailRegistry, ClaimAndAvatarMergeAndWriteOnlyChanges) {
    TempDataDir dir;
    set_identity(kMine);
    const json label = {{"pubkey", kMine},
                        {"address", "1Recv0000000000000000000000"},
                        {"ordAddress", kOrdA},
                        {"avatar", "ava"},
                        {"walletKey", {{"nested", true}}}};
    const std::string original =
        json({{"self", "me"}, {"avatars", {{kMine, "ava"}}}, {"names", {{"me", label}}}, {"walletRoot", 7}}).dump();
    test_write_file(paymail_registry_path(), original);

    EXPECT_EQ(claim_paymail_name("me", kMine, "1Recv0000000000000000000000"), "");
    EXPECT_EQ(set_identity_avatar("ava"), "");
    EXPECT_EQ(test_read_file(paymail_registry_path()), original) << "nothing changed, nothing written";

    EXPECT_EQ(claim_paymail_name("me", kMine, "1Other000000000000000000000"), "");
    EXPECT_EQ(set_identity_avatar("new"), "");
    json doc = read_registry();
    json expected = label;
    expected["address"] = "1Other000000000000000000000";
    expected["avatar"] = "new";
    EXPECT_EQ(doc["names"]["me"], expected);
    EXPECT_EQ(doc["walletRoot"], 7);
    EXPECT_EQ(ord_address_for_name("me"), kOrdA);
}

TEST(PaymailRegistry, ClaimQuotaByRole) {
    struct Row {
        const char* role;
        int allowed; // labels an identity may hold; -1 for no limit
    } rows[] = {{nullptr, 10}, {"dev", 20}, {"architect", -1}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.role ? row.role : "default");
        TempDataDir dir;
        json doc = {{"names", json::object()}};
        if (row.role) doc["host_role"] = row.role;
        const int held = row.allowed < 0 ? 25 : row.allowed;
        for (int i = 0; i < held; ++i)
            doc["names"]["l" + std::to_string(i)] = {{"pubkey", kMine}};
        write_registry(doc);
        std::string result = claim_paymail_name("another", kMine, "");
        if (row.allowed < 0) {
            EXPECT_EQ(result, "");
        } else {
            EXPECT_EQ(result, "paymail quota reached (" + std::to_string(row.allowed) + " free labels per identity)");
        }
        // Re-claiming a label the identity already holds is never limited.
        EXPECT_EQ(claim_paymail_name("l0", kMine, ""), "");
        // Another identity has its own quota.
        EXPECT_EQ(claim_paymail_name("theirs", kOther, ""), "");
    }
}

TEST(PaymailRegistry, OrdAddressOfIdentity) {
    TempDataDir dir;
    set_identity(upper_copy(kMine));
    const std::string original = json({{"names",
                                        {{"one", {{"pubkey", kMine}, {"ord", kOrdB}, {"theirs", "kept"}}},
                                         {"two", {{"pubkey", upper_copy(kMine)}, {"ord", "not-an-address"}}},
                                         {"other", {{"pubkey", kOther}}}}}})
                                     .dump(); // compact, so any rewrite shows
    test_write_file(paymail_registry_path(), original);

    set_ord_address_for_identity("bad_address_1111111111111111");
    set_ord_address_for_identity("");
    EXPECT_EQ(test_read_file(paymail_registry_path()), original);

    set_ord_address_for_identity(kOrdA);
    json doc = read_registry();
    EXPECT_EQ(doc["names"]["one"], json({{"pubkey", kMine}, {"ordAddress", kOrdA}, {"theirs", "kept"}}));
    EXPECT_EQ(doc["names"]["two"]["ordAddress"], kOrdA);
    EXPECT_EQ(doc["names"]["two"]["ord"], "not-an-address");
    EXPECT_FALSE(doc["names"]["other"].contains("ordAddress"));
    EXPECT_EQ(ord_address_for_name("One"), kOrdA);

    // Nothing changed: the file is not rewritten.
    test_write_file(paymail_registry_path(), doc.dump());
    set_ord_address_for_identity(kOrdA);
    EXPECT_EQ(test_read_file(paymail_registry_path()), doc.dump());

    set_identity("");
    set_ord_address_for_identity(kOrdB);
    EXPECT_EQ(test_read_file(paymail_registry_path()), doc.dump());
}

TEST(PaymailRegistry, LabelOrdAddressAvatarAndRole) {
    TempDataDir dir;
    set_identity(kMine);
    write_registry({{"avatars", {{kMine, "old"}}},
                    {"names", {{"me", {{"pubkey", kMine}, {"avatar", "old"}}}, {"you", {{"pubkey", kOther}}}}}});

    set_label_ord_address("@Friend", kOrdA);
    EXPECT_EQ(read_registry()["names"]["friend"], json({{"ordAddress", kOrdA}}));
    set_label_ord_address("friend", "short");
    EXPECT_EQ(ord_address_for_name("friend"), kOrdA);
    EXPECT_EQ(ord_address_for_name("nobody"), "");

    EXPECT_EQ(set_identity_avatar("new"), "");
    json doc = read_registry();
    EXPECT_EQ(doc["avatars"][kMine], "new");
    EXPECT_EQ(doc["names"]["me"]["avatar"], "new");
    EXPECT_FALSE(doc["names"]["you"].contains("avatar"));
    EXPECT_EQ(set_identity_avatar(""), "");
    doc = read_registry();
    EXPECT_FALSE(doc["avatars"].contains(kMine));
    EXPECT_FALSE(doc["names"]["me"].contains("avatar"));

    struct Row {
        const char* role;
        bool present;
        const char* stored;
    } roles[] = {{"Dev", true, "dev"}, {"default", false, ""}, {"ARCHITECT", true, "architect"}, {"king", false, ""}};
    for (const auto& row : roles) {
        SCOPED_TRACE(row.role);
        set_host_role(row.role);
        doc = read_registry();
        EXPECT_EQ(doc.contains("host_role"), row.present);
        if (row.present) {
            EXPECT_EQ(doc["host_role"], row.stored);
        }
    }
    set_identity("");
    EXPECT_EQ(set_identity_avatar("x"), "no identity pubkey");
}

TEST(PaymailRegistry, DamagedFileIsKeptAsideAndClaimsGoOn) {
    const std::string deep = "{\"names\":{},\"x\":" + std::string(75000, '[') + std::string(75000, ']') + "}";
    const std::string bodies[] = {"{\"names\": {\"me\": ", "[1, 2, 3]", "", deep};
    // Each row's clock starts at the same millisecond: every damaged copy must still be kept.
    TempDataDir damaged_dir;
    int kept = 0;
    for (const std::string& body : bodies) {
        SCOPED_TRACE(body.substr(0, 40));
        FakeClock clock;
        SinkCapture sink;
        set_identity(kMine);
        test_write_file(paymail_registry_path(), body);

        EXPECT_EQ(claim_paymail_name("me", kMine, ""), "");
        EXPECT_EQ(clock.recorded_sleeps(), std::vector<std::int64_t>{kSharedFileRetryMs});
        const std::string stamp = paymail_registry_path() + ".damaged-" + std::to_string(clock.system_ms);
        EXPECT_EQ(test_read_file(kept == 0 ? stamp : stamp + "-" + std::to_string(kept + 1)), body);
        ++kept;
        EXPECT_EQ(primary_paymail_name_for_pubkey(kMine), "me");
        EXPECT_EQ(read_registry()["names"]["me"]["pubkey"], kMine);
        EXPECT_EQ(sink.lines.size(), 1u);
    }

    // A file caught mid-write by the first read is taken from the second; nothing is set aside.
    TempDataDir dir;
    set_identity(kMine);
    test_write_file(paymail_registry_path(), "{\"names\":");
    const json whole = {{"names", {{"bob", {{"pubkey", kOther}}}}}, {"kept", 1}};
    ClockSeam seam;
    seam.sleep_ms = [&](std::int64_t) { write_registry(whole); };
    set_clock_seam(seam);
    const std::string claimed = claim_paymail_name("me", kMine, "");
    reset_clock_seam();
    EXPECT_EQ(claimed, "");
    EXPECT_EQ(read_registry()["names"]["bob"], whole["names"]["bob"]);
    EXPECT_EQ(read_registry()["kept"], 1);
    for (const auto& entry : std::filesystem::directory_iterator(std::filesystem::u8path(dir.data_dir)))
        EXPECT_EQ(entry.path().u8string().find(".damaged"), std::string::npos);

    // A write cut short by a full disk leaves the registry as it was.
    const std::string before = test_read_file(paymail_registry_path());
    platform_set_write_budget_for_tests(20);
    const std::string failed = claim_paymail_name("other", kMine, "");
    platform_set_write_budget_for_tests(-1);
    EXPECT_EQ(failed, "could not write paymail registry");
    EXPECT_EQ(test_read_file(paymail_registry_path()), before);
}

TEST(PaymailRegistry, OlderFileIsMigrated) {
    TempDataDir dir;
    namespace fs = std::filesystem;
    const fs::path saved = fs::current_path();
    fs::current_path(dir.root);
    const json legacy = {{"names", {{"old", {{"pubkey", kMine}}}}}};
    test_write_file("userinfo/kestrava_paymail.json", legacy.dump());

    EXPECT_EQ(primary_paymail_name_for_pubkey(kMine), "old");
    EXPECT_EQ(read_registry(), legacy);

    // Once the data-folder file exists the older one is ignored.
    write_registry({{"names", {{"new", {{"pubkey", kMine}}}}}});
    EXPECT_EQ(primary_paymail_name_for_pubkey(kMine), "new");
    fs::current_path(saved);
}
