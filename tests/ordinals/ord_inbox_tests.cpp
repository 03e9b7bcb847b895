#include "ordinals/ord_inbox.h"

#include "ordinals/content_cache.h"
#include "platform/fs.h"
#include "support/temp_dir.h"
#include "support/wallet_fixture.h"
#include "wallet/kv_cofferly_wallet.h"
#include "wallet/wallet_file.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

using nlohmann::json;

namespace {

const std::string kTx = "0123456789abcdef00112233445566778899aabbccddeeff0f1e2d3c4b5a6978";
const std::string kTxUpper = "0123456789ABCDEF00112233445566778899AABBCCDDEEFF0F1E2D3C4B5A6978";
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

    std::string wallet_text() const { return test_read_file(wallet_file_path()); }
    // The "ord_owned" rows of the wallet file on disk.
    json saved_ords() const {
        const json doc = json::parse(wallet_text());
        return doc.contains("ord_owned") ? doc["ord_owned"] : json::array();
    }
    std::string inbox_of(const std::string& address) const { return ord_inbox_path(test_hash_of(address)); }
};

LocalOrd ord_with(const std::string& origin, const std::string& type, const std::string& name, bool created,
                  bool hidden = false) {
    LocalOrd ord = local_ord_init();
    ord.origin = origin;
    ord.type = type;
    ord.name = name;
    ord.created = created;
    ord.hidden = hidden;
    return ord;
}

} // namespace

TEST_F(OrdInboxTest, RegistersOnlyWholeTransactionIds) {
    const Bytes content = {'h', 'i'};
    for (const std::string& txid : {kTx.substr(1), kTx + "0", "g" + kTx.substr(1), std::string()}) {
        SCOPED_TRACE(txid);
        note_inscribed_ord(txid, "text/plain", "Name", &content, "");
    }
    EXPECT_TRUE(kv_wallet().ord_owned.empty());
    EXPECT_FALSE(platform_file_exists(dir.data_dir + "/ord_cache"));

    kv_wallet().recv[5] = 7;
    note_inscribed_ord(kTxUpper, "text/plain", "Name", &content, "");
    ASSERT_EQ(kv_wallet().ord_owned.size(), 1u);
    const LocalOrd& ord = kv_wallet().ord_owned[0];
    EXPECT_EQ(ord.origin, kTxUpper + "_0");
    EXPECT_EQ(ord.txid, kTxUpper);
    EXPECT_EQ(ord.address, wallet_path_vector("m/44'/236'/5'/0/7", "address"));
    EXPECT_TRUE(ord.created);
    EXPECT_EQ(saved_ords().size(), 1u);
    std::string type;
    Bytes cached;
    EXPECT_TRUE(ord_cache_read_content(kTxUpper + "_0", type, cached));
    EXPECT_EQ(cached, content);
    EXPECT_EQ(ord_cache_read_name(kTxUpper + "_0"), "Name");
}

TEST_F(OrdInboxTest, RegisteringAKnownOrdinalFillsOnlyEmptyFields) {
    struct Row {
        const char* what;
        LocalOrd known;
        std::string name_arg;
        bool saves;
        std::string name;
    } rows[] = {
        {"complete and created", ord_with(kOrigin, "image/png", "Old", true), "New", false, "Old"},
        {"complete, not created", ord_with(kOrigin, "image/png", "Old", false), "New", true, "Old"},
        {"created, name missing", ord_with(kOrigin, "image/png", "", true), "New", true, "New"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        kv_wallet().ord_owned = {row.known};
        ASSERT_TRUE(save_wallet());
        // An entry only in memory shows whether the call wrote the wallet file.
        kv_wallet().ord_owned.push_back(ord_with(kTx.substr(0, 63) + "1_5", "", "", false));
        note_inscribed_ord(kTx, "text/plain", row.name_arg, nullptr, "");
        const LocalOrd& ord = kv_wallet().ord_owned[0];
        EXPECT_EQ(ord.type, "image/png");
        EXPECT_EQ(ord.name, row.name);
        EXPECT_TRUE(ord.created);
        EXPECT_EQ(kv_wallet().ord_owned.size(), 2u);
        EXPECT_EQ(saved_ords().size(), row.saves ? 2u : 1u);
    }
}

TEST_F(OrdInboxTest, RegistersWithoutAddressWhenNoOrdinalsKeyApplies) {
    struct Row {
        const char* what;
        bool is_hd;
        std::uint32_t counter;
    } rows[] = {
        {"legacy wallet", false, 0},
        {"counter past the normal indices", true, 0x80000000u},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        kv_wallet().ord_owned.clear();
        kv_wallet().is_hd = row.is_hd;
        kv_wallet().recv[5] = row.counter;
        note_inscribed_ord(kTx, "text/plain", "", nullptr, "");
        ASSERT_EQ(kv_wallet().ord_owned.size(), 1u);
        EXPECT_EQ(kv_wallet().ord_owned[0].address, "");
    }
}

TEST_F(OrdInboxTest, PostCreatesAndUpdatesOneElementPerOrigin) {
    const Hash160 to = test_hash_of(kTestReceive1);
    const std::string path = ord_inbox_path(to);
    EXPECT_EQ(path, dir.data_dir + "/ord_inbox/" + to_hex(to.data(), to.size()) + ".json");

    ord_inbox_post(to, kTestReceive1, kOrigin, "image/png", "Art", "");
    const std::string text = test_read_file(path);
    ASSERT_FALSE(text.empty());
    EXPECT_NE(text.back(), '\n');
    EXPECT_EQ(json::parse(text), json::parse(R"([{"origin":")" + kOrigin + R"(","type":"image/png","name":"Art",
        "icon":"","amt":"","address":")" + kTestReceive1 +
                                             R"("}])"));
    EXPECT_EQ(ord_cache_read_name(kOrigin), "Art");

    ord_inbox_post(to, "", kOrigin, "", "Renamed", "ic");
    ord_inbox_post(to, kTestReceive1, kTx + "_1", "text/plain", "", "");
    const json items = json::parse(test_read_file(path));
    ASSERT_EQ(items.size(), 2u);
    EXPECT_EQ(items[0]["type"], "image/png");
    EXPECT_EQ(items[0]["name"], "Renamed");
    EXPECT_EQ(items[0]["icon"], "ic");
    EXPECT_EQ(items[0]["address"], kTestReceive1);
    EXPECT_EQ(items[1]["origin"], kTx + "_1");
    EXPECT_FALSE(platform_file_exists(path + ".tmp"));

    // A name that is not UTF-8 is written with replacement characters rather than ending the post.
    ord_inbox_post(to, kTestReceive1, kTx + "_4", "", "A\xFF", "");
    EXPECT_EQ(json::parse(test_read_file(path)).size(), 3u);
}

TEST_F(OrdInboxTest, PostKeepsWhatItCannotRead) {
    const Hash160 to = test_hash_of(kTestReceive1);
    const std::string path = ord_inbox_path(to);
    struct Row {
        std::string old_text;
        std::string origin;
        std::size_t size; // 0 when the file must stay as it was
    } rows[] = {
        {R"([{"origin":")" + kTx + R"(_1"}, 5)", kOrigin, 0}, // half-written by another program
        {"not json", kOrigin, 0},
        {R"({"origin":"x"})", kOrigin, 1},
        {" \n", kOrigin, 1},
        {R"([5, {"origin": 7}])", kOrigin, 3},
        {"[]", "../../wallets/x", 0},
        {"[]", "", 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.old_text + " / " + row.origin);
        test_write_file(path, row.old_text);
        ord_inbox_post(to, "", row.origin, "", "", "");
        const std::string text = test_read_file(path);
        if (row.size == 0) {
            EXPECT_EQ(text, row.old_text);
            continue;
        }
        const json items = json::parse(text);
        ASSERT_EQ(items.size(), row.size);
        EXPECT_EQ(items.back()["origin"], kOrigin);
        if (row.size == 3) EXPECT_EQ(items[1]["origin"], 7);
    }
}

TEST_F(OrdInboxTest, ItemReaderRejectsMalformedElements) {
    struct Row {
        std::string text;
        bool ok;
    } rows[] = {
        {R"({"origin":")" + kOrigin + R"(","type":"t","name":"n","icon":"i","address":"a","amt":"1","id":"d"})", true},
        {R"({"origin":")" + kTx + R"("})", true},
        {R"([")" + kOrigin + R"("])", false},
        {R"({"origin":5})", false},
        {R"({"origin":")" + kOrigin + R"(","type":null})", false},
        {R"({"origin":")" + kOrigin + R"(","amt":10})", false},
        {R"({"origin":")" + kOrigin + R"(","id":["x"]})", false},
        {R"({"type":"t"})", false},
        {R"({"origin":"../../wallets/w1/wallet"})", false},
        {R"({"origin":")" + kTx + R"(_0/x"})", false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.text);
        OrdInboxItem item;
        item.name = "stale";
        EXPECT_EQ(ord_inbox_item_from_json(json::parse(row.text), item), row.ok);
        if (!row.ok) EXPECT_EQ(item.name, "");
    }
}

TEST_F(OrdInboxTest, MergeFillsTheListFromTheInboxes) {
    const std::string token = kTx + "_2";
    const std::string hidden = kTx + "_3";
    LocalOrd known = ord_with(hidden, "", "Mine", true, true);
    known.address = "1Elsewhere";
    kv_wallet().ord_owned = {known};
    test_write_file(inbox_of(kTestReceive0),
                    json::array({5,
                                 {{"origin", ""}},
                                 {{"origin", kOrigin}, {"type", 3}},
                                 {{"origin", token}, {"amt", "007"}, {"id", kTx + "_9"}},
                                 {{"origin", hidden}, {"type", "image/png"}, {"name", "Theirs"}, {"address", "1X"}}})
                        .dump());
    const std::string broken = inbox_of(kv_wallet().identity_address);
    test_write_file(broken, "[{\"origin\":");

    ord_inbox_merge();
    const std::vector<LocalOrd>& list = kv_wallet().ord_owned;
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list[0].type, "image/png");
    EXPECT_EQ(list[0].name, "Mine");
    EXPECT_EQ(list[0].address, "1Elsewhere");
    EXPECT_TRUE(list[0].hidden);
    EXPECT_TRUE(list[0].created);
    EXPECT_EQ(list[1].origin, token);
    EXPECT_EQ(list[1].txid, kTx);
    EXPECT_EQ(list[1].vout, 2u);
    EXPECT_EQ(list[1].address, kTestReceive0);
    EXPECT_EQ(list[1].amt, "7");
    EXPECT_EQ(list[1].token_id, kTx + "_9");
    EXPECT_FALSE(list[1].created);
    EXPECT_EQ(saved_ords().size(), 2u);
    EXPECT_EQ(test_read_file(broken), "[{\"origin\":");

    std::string type;
    Bytes content;
    ASSERT_TRUE(ord_cache_read_content(token, type, content));
    EXPECT_EQ(type, "application/bsv-20");
    EXPECT_EQ(std::string(content.begin(), content.end()),
              R"({"amt":"007","id":")" + kTx + R"(_9","op":"transfer","p":"bsv-20"})");

    // Known content is never replaced, and a merge that learns nothing leaves the wallet file alone.
    ord_cache_write_content(token, "text/plain", {'k'});
    const std::string before = wallet_text();
    ord_inbox_merge();
    ASSERT_TRUE(ord_cache_read_content(token, type, content));
    EXPECT_EQ(content, Bytes{'k'});
    EXPECT_EQ(wallet_text(), before);
}

TEST_F(OrdInboxTest, PostedOrdinalReachesTheRecipientsList) {
    ord_inbox_post(test_hash_of(kTestReceive0), kTestReceive0, kOrigin, "image/png", "Art", "");
    ord_inbox_merge();
    ASSERT_EQ(kv_wallet().ord_owned.size(), 1u);
    EXPECT_EQ(kv_wallet().ord_owned[0].name, "Art");
    EXPECT_EQ(kv_wallet().ord_owned[0].address, kTestReceive0);
}

TEST_F(OrdInboxTest, WatchAddressesInOrderWithoutRepeats) {
    KvCofferlyWallet& w = kv_wallet();
    w.recv[5] = 7;
    LocalOrd seen = ord_with(kOrigin, "", "", false);
    seen.address = "1Shown";
    LocalOrd again = seen;
    again.origin = kTx + "_1";
    LocalOrd hidden = ord_with(kTx + "_2", "", "", false, true);
    hidden.address = "1Hidden";
    w.ord_owned = {seen, again, hidden};

    std::vector<std::string> out = {"stale"};
    collect_watch_addresses(out);
    const std::vector<std::string> expected_start = {kTestReceive0, w.identity_address,
                                                     wallet_path_vector("m/44'/236'/5'/0/0", "address")};
    ASSERT_EQ(out.size(), 2u + 8u + 1u);
    EXPECT_EQ(std::vector<std::string>(out.begin(), out.begin() + 3), expected_start);
    EXPECT_EQ(out[9], wallet_path_vector("m/44'/236'/5'/0/7", "address"));
    EXPECT_EQ(out[10], "1Shown");
}
