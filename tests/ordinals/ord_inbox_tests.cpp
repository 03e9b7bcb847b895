#include "ordinals/ord_inbox.h"

#include "platform/fs.h"

#include "ordinals/content_cache.h"
#include "support/temp_dir.h"
#include "support/wallet_fixture.h"
#include "wallet/kv_cofferly_wallet.h"
#include "wallet/wallet_file.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

using nlohmann::json;

namespace {

const std::string kTx = "0123456789abcdef00112233445566778899aabbccddeeff0f1e2d3c4b5a6978";
const std::string kOrigin = kTx + "_0";

struct OrdInboxTest : testing::Test {
    TempDataDir dir;
    WalletLock lock = lock_wallet();

    void SetUp() override {
        reset_wallet_state_for_tests();
        write_test_wallet_file("w1");
        ASSERT_TRUE(load_wallet_id("w1"));
    }
    void TearDown() override { reset_wallet_state_for_tests(); }

    // How many ordinals the wallet file on disk lists.
    std::size_t saved_ord_count() const {
        const json doc = json::parse(test_read_file(wallet_file_path()));
        return doc.contains("ord_owned") ? doc["ord_owned"].size() : 0;
    }
};

LocalOrd ord_with(const std::string& origin, const std::string& name, const std::string& address, bool created,
                  bool hidden = false) {
    LocalOrd ord = local_ord_init();
    ord.origin = origin;
    ord.type = "image/png";
    ord.name = name;
    ord.address = address;
    ord.created = created;
    ord.hidden = hidden;
    return ord;
}

} // namespace

TEST_F(OrdInboxTest, RegistersOutputZeroOfWholeTransactionIds) {
    const std::string upper = upper_copy(kTx);
    struct Row {
        std::string txid;
        bool is_hd;
        std::uint32_t counter;
        std::string address; // "-" when nothing is registered
    } rows[] = {
        {kTx.substr(1), true, 0, "-"},
        {"g" + kTx.substr(1), true, 0, "-"},
        {upper, true, 7, wallet_path_vector("m/44'/236'/5'/0/7", "address")},
        {upper, false, 0, ""},
        {upper, true, 0x80000000u, ""}, // past the normal indices: no address of the wallet program
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.txid + " " + std::to_string(row.counter));
        kv_wallet().ord_owned.clear();
        kv_wallet().is_hd = row.is_hd;
        kv_wallet().recv[5] = row.counter;
        const Bytes content = {'h', 'i'};
        note_inscribed_ord(row.txid, "text/plain", "Name", &content, "");
        if (row.address == "-") {
            EXPECT_TRUE(kv_wallet().ord_owned.empty());
            continue;
        }
        ASSERT_EQ(kv_wallet().ord_owned.size(), 1u);
        EXPECT_EQ(kv_wallet().ord_owned[0].origin, upper + "_0");
        EXPECT_EQ(kv_wallet().ord_owned[0].address, row.address);
        EXPECT_TRUE(kv_wallet().ord_owned[0].created);
    }
    EXPECT_EQ(saved_ord_count(), 1u);
    std::string type;
    Bytes cached;
    EXPECT_TRUE(ord_cache_read_content(upper + "_0", type, cached));
    EXPECT_EQ(ord_cache_read_name(upper + "_0"), "Name");
}

TEST_F(OrdInboxTest, RegisteringAKnownOrdinalFillsOnlyEmptyFields) {
    struct Row {
        LocalOrd known;
        bool saves;
        std::string name;
    } rows[] = {
        {ord_with(kOrigin, "Old", "", true), false, "Old"},
        {ord_with(kOrigin, "Old", "", false), true, "Old"},
        {ord_with(kOrigin, "", "", true), true, "New"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name + (row.known.created ? " created" : ""));
        kv_wallet().ord_owned = {row.known};
        ASSERT_TRUE(save_wallet());
        // An entry only in memory shows whether the call wrote the wallet file.
        kv_wallet().ord_owned.push_back(ord_with(kTx + "_5", "", "", false));
        note_inscribed_ord(kTx, "text/plain", "New", nullptr, "");
        EXPECT_EQ(kv_wallet().ord_owned[0].type, "image/png");
        EXPECT_EQ(kv_wallet().ord_owned[0].name, row.name);
        EXPECT_TRUE(kv_wallet().ord_owned[0].created);
        EXPECT_EQ(saved_ord_count(), row.saves ? 2u : 1u);
    }
}

TEST_F(OrdInboxTest, PostAddsOrUpdatesOneElementPerOrigin) {
    const Hash160 to = test_hash_of(kTestReceive1);
    const std::string path = dir.data_dir + "/ord_inbox/" + to_hex(to.data(), to.size()) + ".json";

    ord_inbox_post(to, kTestReceive1, kOrigin, "image/png", "Art", "");
    EXPECT_EQ(json::parse(test_read_file(path)), json::array({{{"origin", kOrigin},
                                                               {"type", "image/png"},
                                                               {"name", "Art"},
                                                               {"icon", ""},
                                                               {"amt", ""},
                                                               {"address", kTestReceive1}}}));
    EXPECT_EQ(ord_cache_read_name(kOrigin), "Art");

    ord_inbox_post(to, "", kOrigin, "", "Renamed", "ic");
    // A name that is not UTF-8 gets replacement characters rather than ending the post.
    ord_inbox_post(to, kTestReceive1, kTx + "_1", "", "A\xFF", "");
    const json items = json::parse(test_read_file(path));
    ASSERT_EQ(items.size(), 2u);
    EXPECT_EQ(items[0]["type"], "image/png");
    EXPECT_EQ(items[0]["name"], "Renamed");
    EXPECT_EQ(items[0]["address"], kTestReceive1);
    EXPECT_EQ(items[1]["origin"], kTx + "_1");
}

TEST_F(OrdInboxTest, PostKeepsAnInboxItCannotRead) {
    const std::string path = ord_inbox_path(test_hash_of(kTestReceive1));
    struct Row {
        std::string old_text;
        std::string origin;
        std::size_t size; // 0 when the file must stay as it was
    } rows[] = {
        {R"([{"origin":")" + kTx + R"(_1"}, 5)", kOrigin, 0}, // half-written by another program
        {"not json", kOrigin, 0},
        {"[{\"origin\":\"x\",\"more\":" + std::string(75000, '[') + std::string(75000, ']') + "}]", kOrigin, 0},
        {R"({"origin":"x"})", kOrigin, 1},
        {" \n", kOrigin, 1},
        {R"([5, {"origin": 7}])", kOrigin, 3},
        {"[]", "../../wallets/x", 0},
        {"[]", "", 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.old_text + " / " + row.origin);
        test_write_file(path, row.old_text);
        ord_inbox_post(test_hash_of(kTestReceive1), "", row.origin, "", "", "");
        const std::string text = test_read_file(path);
        if (row.size == 0) {
            EXPECT_EQ(text, row.old_text);
            continue;
        }
        const json items = json::parse(text);
        ASSERT_EQ(items.size(), row.size);
        EXPECT_EQ(items.back()["origin"], kOrigin);
    }
}

TEST_F(OrdInboxTest, MergeFillsTheListFromTheInboxes) {
    const std::string token = kTx + "_2";
    const std::string hidden = kTx + "_3";
    kv_wallet().ord_owned = {ord_with(hidden, "Mine", "1Elsewhere", true, true)};
    kv_wallet().ord_owned[0].type.clear();
    // Elements of the wrong shape, and origins that are no whole ordinal key, are passed over.
    const json items =
        json::array({5,
                     {{"origin", ""}},
                     {{"origin", 7}},
                     {{"origin", kOrigin}, {"type", 3}},
                     {{"origin", kOrigin}, {"id", {"x"}}},
                     {{"origin", "../../wallets/w1/wallet"}},
                     {{"origin", kTx + "_0/x"}},
                     {{"origin", token}, {"amt", "007"}, {"id", kTx + "_9"}},
                     {{"origin", hidden}, {"type", "image/png"}, {"name", "Theirs"}, {"address", "1X"}}});
    test_write_file(ord_inbox_path(test_hash_of(kTestReceive0)), items.dump());
    const std::string broken = ord_inbox_path(test_hash_of(kv_wallet().identity_address));
    test_write_file(broken, "[{\"origin\":");

    // Only the inboxes that exist are opened, not one per watched address.
    kv_wallet().recv[5] = 40;
    std::vector<std::string> watched;
    collect_watch_addresses(watched);
    const int reads = platform_reads_for_tests();
    ord_inbox_merge(lock);
    EXPECT_LT(platform_reads_for_tests() - reads, static_cast<int>(watched.size()));
    const std::vector<LocalOrd>& list = kv_wallet().ord_owned;
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list[0].type, "image/png");
    EXPECT_EQ(list[0].name, "Mine");
    EXPECT_EQ(list[0].address, "1Elsewhere");
    EXPECT_TRUE(list[0].hidden);
    EXPECT_EQ(list[1].vout, 2u);
    EXPECT_EQ(list[1].address, kTestReceive0);
    EXPECT_EQ(list[1].amt, "7");
    EXPECT_EQ(list[1].token_id, kTx + "_9");
    EXPECT_FALSE(list[1].created);
    EXPECT_EQ(saved_ord_count(), 2u);
    EXPECT_EQ(test_read_file(broken), "[{\"origin\":");

    std::string type;
    Bytes content;
    ASSERT_TRUE(ord_cache_read_content(token, type, content));
    EXPECT_EQ(type, "application/bsv-20");
    EXPECT_EQ(std::string(content.begin(), content.end()),
              R"({"amt":"007","id":")" + kTx + R"(_9","op":"transfer","p":"bsv-20"})");
    // Content the cache holds is never replaced.
    ord_cache_write_content(token, "text/plain", {'k'});
    ord_inbox_merge(lock);
    ASSERT_TRUE(ord_cache_read_content(token, type, content));
    EXPECT_EQ(content, Bytes{'k'});
}

TEST_F(OrdInboxTest, WatchAddressesInOrderWithoutRepeats) {
    KvCofferlyWallet& w = kv_wallet();
    w.recv[5] = 7;
    w.ord_owned = {ord_with(kOrigin, "", "1Shown", false), ord_with(kTx + "_1", "", "1Shown", false),
                   ord_with(kTx + "_2", "", "1Hidden", false, true)};
    std::vector<std::string> out = {"stale"};
    collect_watch_addresses(out);
    // Receive 0 and identity, the eight ordinals addresses, then the visible entries' one address.
    ASSERT_EQ(out.size(), 11u);
    EXPECT_EQ(out[0], kTestReceive0);
    EXPECT_EQ(out[1], w.identity_address);
    EXPECT_EQ(out[2], wallet_path_vector("m/44'/236'/5'/0/0", "address"));
    EXPECT_EQ(out[9], wallet_path_vector("m/44'/236'/5'/0/7", "address"));
    EXPECT_EQ(out[10], "1Shown");
}
