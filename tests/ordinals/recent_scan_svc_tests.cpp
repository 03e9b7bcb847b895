#include "ordinals/recent_scan.h"

#include "chain/inscription.h"
#include "chain/tx_store.h"
#include "fakes/chain_fixture.h"
#include "ordinals/content_cache.h"
#include "support/eventually.h"
#include "wallet/crypto.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <thread>

using nlohmann::json;

namespace {

const std::string kId = hex_id('b') + "_0";

Bytes inscribed(const TestKey& to, const std::string& type, const std::string& body) {
    return build_inscription_script(to.hash, type, Bytes(body.begin(), body.end()), "", "");
}

std::string transfer_json(const std::string& amt) {
    return R"({"p":"bsv-20","op":"transfer","id":")" + kId + R"(","amt":")" + amt + R"("})";
}

std::string credential(const std::string& kind, const std::string& subject, const std::string& extra = "") {
    return R"({"protocol":"KV-Identity","type":"id_issue","kind":")" + kind + R"(","subject":")" + subject +
           R"(","subject_handle":" alice@kestrava.net")" + extra + "}";
}

struct RecentScanTest : FakeChainTest {
    TestKey watch = test_key_from_byte(0x71);
    TestKey other_watch = test_key_from_byte(0x72);
    TestKey stranger = test_key_from_byte(0x73);

    const LocalOrd* by_origin(const std::vector<LocalOrd>& list, const std::string& origin) {
        auto it = std::find_if(list.begin(), list.end(), [&](const LocalOrd& o) { return o.origin == origin; });
        return it == list.end() ? nullptr : &*it;
    }
};

} // namespace

TEST_F(RecentScanTest, TokenReplyOutputsBecomeRecords) {
    clear_token_maps();
    const std::string t1 = hex_id('1'), t2 = hex_id('2'), t3 = hex_id('3'), t4 = hex_id('4');
    const Bytes mint = inscribed(watch, "application/bsv-20",
                                 R"({"p":"bsv-20","op":"deploy+mint","amt":"9",)"
                                 R"("name":"Zed","dec":"2","icon":"ic_0"})");
    const Bytes named = inscribed(watch, "application/json", R"({"name":"  Plain  "})");
    const json reply = json::array({
        {{"txid", t1}, {"vout", 0}, {"outpoint", t1 + "_0"}, {"spend", t4}, {"amt", "5"}},
        {{"txid", t2}, {"vout", 3}, {"amt", "0010"}, {"id", kId}, {"spend", ""}},
        {{"txid", t3}, {"vout", 1}, {"owner", other_watch.address}, {"amt", 9}, {"script", base64_encode(mint)}},
        {{"txid", t4}, {"vout", 2}, {"id", kId}, {"amt", "1"}, {"script", base64_encode(named)}},
        {{"txid", "t5"}, {"outpoint", hex_id('5') + "_0"}, {"amt", "1"}},
        {{"txid", t4}, {"vout", 5}, {"spend", 7}, {"amt", "1"}},
        "not an object",
    });
    AddressTxoLookup lookup;
    lookup.address = watch.address;
    std::vector<LocalOrd> out;
    parse_gp_txo(lookup, json::object({{"0", reply[1]}}), out);
    EXPECT_TRUE(out.empty());
    parse_gp_txo(lookup, reply, out);
    ASSERT_EQ(out.size(), 3u);

    EXPECT_EQ(indexed_token_amt(t1 + "_0", t1, 0), "");
    const LocalOrd* bare = by_origin(out, t2 + "_3");
    ASSERT_NE(bare, nullptr);
    EXPECT_EQ(bare->address, watch.address);
    EXPECT_EQ(bare->amt, "10");
    EXPECT_EQ(bare->token_id, kId);
    EXPECT_EQ(indexed_token_amt("", t2, 3), "10");

    const LocalOrd* minted = by_origin(out, t3 + "_1");
    ASSERT_NE(minted, nullptr);
    EXPECT_EQ(minted->address, other_watch.address);
    EXPECT_EQ(minted->token_id, t3 + "_1");
    EXPECT_EQ(minted->name, "Zed");
    EXPECT_EQ(minted->dec, "2");
    std::string type;
    Bytes content;
    EXPECT_TRUE(ord_cache_read_content(t3 + "_1", type, content));

    const LocalOrd* plain = by_origin(out, t4 + "_2");
    ASSERT_NE(plain, nullptr);
    EXPECT_EQ(plain->name, "Plain");
    EXPECT_EQ(plain->token_id, kId);
}

TEST_F(RecentScanTest, RecentTransfersPayingAnyWatchAddress) {
    const std::string paid = chain.ledger.fund_outputs(
        {{p2pkh_script(watch.hash), 1000}, {inscribed(other_watch, "application/bsv-20", transfer_json("007")), 1}},
        false);
    chain.ledger.fund_outputs(
        {{p2pkh_script(watch.hash), 1000}, {inscribed(stranger, "application/bsv-20", transfer_json("1")), 1}}, false);
    chain.ledger.fund_outputs({{p2pkh_script(watch.hash), 1000}, {inscribed(watch, "image/png", "PNG"), 1}}, true);

    std::vector<LocalOrd> out;
    ingest_woc_recent_ords({watch.address, "", other_watch.address}, out);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].origin, paid + "_1");
    EXPECT_EQ(out[0].address, other_watch.address);
    EXPECT_EQ(out[0].amt, "7");
    EXPECT_EQ(out[0].token_id, kId);
    EXPECT_EQ(out[0].type, "application/bsv-20");
}

TEST_F(RecentScanTest, RecentScanReadsTheLastTwentyFourOfTheUnconfirmedHistoryOnly) {
    std::vector<std::string> ids;
    for (int i = 0; i < 30; ++i)
        ids.push_back(chain.ledger.fund(watch.address, 1000 + i, false));
    std::vector<LocalOrd> out;
    ingest_woc_recent_ords({watch.address}, out);
    const std::string woc = kWocPrefix;
    EXPECT_EQ(chain.woc.request_count(woc + "/tx/"), 24);
    EXPECT_EQ(chain.woc.request_count(woc + "/tx/" + ids[5]), 0);
    EXPECT_EQ(chain.woc.request_count(woc + "/tx/" + ids[6]), 1);
    EXPECT_EQ(chain.woc.request_count(woc + "/address/" + watch.address + "/confirmed/"), 0);
}

TEST(RecentScan, TxidListShapes) {
    const std::string a = hex_id('a'), b = hex_id('b');
    std::vector<std::string> many;
    for (char c : std::string("0123456789abcdef"))
        many.push_back(hex_id(c));
    struct Row {
        const char* what;
        json reply;
        std::vector<std::string> ids;
    } rows[] = {
        {"txids of texts, upper case and repeats", {{"txids", {upper_copy(a), a, "short", 5}}}, {a}},
        {"result of objects", {{"result", {{{"tx_hash", a}}, {{"txid", b}}, {{"tx_hash", 7}, {"txid", b}}}}}, {a, b}},
        {"txids not an array falls back to result", {{"txids", "x"}, {"result", {b}}}, {b}},
        {"bare array", json::array({a}), {}},
        {"no list", {{"ids", {a}}}, {}},
        {"at most twelve", {{"txids", many}}, std::vector<std::string>(many.begin(), many.begin() + 12)},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        std::vector<std::string> ids;
        std::unordered_set<std::string> seen;
        parse_txid_list(row.reply, ids, seen);
        EXPECT_EQ(ids, row.ids);
    }
}

TEST_F(RecentScanTest, OracleCredentialsBecomeRows) {
    const TestKey me = test_key_from_byte(0x74);
    {
        WalletLock lock = lock_wallet();
        kv_wallet().identity_pub = me.pub;
    }
    Hash160 oracle{};
    ASSERT_TRUE(address_to_hash160(kIdentityOracleAddress, oracle));
    const std::string listed = chain.ledger.fund_outputs(
        {
            {p2pkh_script(oracle), 1000},
            {inscribed(watch, "application/json", credential("id_age", upper_copy(me.pub))), 1},
            {inscribed(other_watch, "application/json", credential("id_bank", stranger.pub)), 1},
            {inscribed(watch, "application/json", credential("club", stranger.pub, R"(,"name":" Member ")")), 1},
            {inscribed(stranger, "application/json", credential("id_age", me.pub)), 1},
            {inscribed(watch, "application/json", R"({"protocol":"KV-Identity","type":"id_revoke"})"), 1},
            {inscribed(watch, "text/plain", " " + credential("id_age", me.pub)), 1},
        },
        false);
    const std::string indexed =
        chain.ledger.fund_outputs({{inscribed(watch, "application/json", credential("id_addr", me.pub)), 1}}, true);

    chain.set_oracle_txids_reply(json::array({indexed}).dump());
    std::vector<KvCofferlyOrdRow> rows(1);
    ingest_oracle_ident_records({watch.address, other_watch.address}, rows);
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(rows[0].key, listed + "_1");
    EXPECT_EQ(rows[0].name, "ID-age");
    EXPECT_EQ(rows[0].address, watch.address);
    EXPECT_EQ(rows[1].name, "ID-bank (alice)");
    EXPECT_EQ(rows[1].address, other_watch.address);
    EXPECT_EQ(rows[2].name, "Member");
    std::string type;
    Bytes content;
    EXPECT_TRUE(ord_cache_read_content(listed + "_2", type, content));

    chain.set_oracle_txids_reply(json{{"result", {{{"tx_hash", indexed}}}}}.dump());
    ingest_oracle_ident_records({watch.address}, rows);
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(rows[2].key, indexed + "_0");
    EXPECT_EQ(rows[2].name, "ID-addr");

    // Without a known identity key no credential counts as someone else's.
    {
        WalletLock lock = lock_wallet();
        kv_wallet().identity_pub.clear();
    }
    ingest_oracle_ident_records({other_watch.address}, rows);
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].name, "ID-bank");

    chain.platform.set_fault("/oi/", FakeFault{500});
    chain.woc.set_fault(kWocPrefix, FakeFault{0, 0, 0, false, true});
    ingest_oracle_ident_records({watch.address}, rows);
    EXPECT_TRUE(rows.empty());
}

// The recent scan and the credential scan run side by side; a transaction both want is read once.
TEST_F(RecentScanTest, ATransactionBothScansWantIsReadOnce) {
    const std::string txid = chain.ledger.fund(watch.address, 1000, false);
    chain.set_oracle_txids_reply(R"({"txids":[")" + txid + R"("]})");
    FakeFault held;
    held.gather = 1000; // until released
    const std::string woc = kWocPrefix;
    chain.woc.set_fault(woc + "/tx/", held);
    std::vector<LocalOrd> records;
    std::vector<KvCofferlyOrdRow> rows;
    std::thread credentials([&] { ingest_oracle_ident_records({watch.address}, rows); });
    std::thread recent([&] { ingest_woc_recent_ords({watch.address}, records); });
    EXPECT_TRUE(eventually([] { return tx_store_use().waiting == 1; }));
    chain.woc.release_held();
    recent.join();
    credentials.join();
    EXPECT_EQ(chain.woc.request_count(woc + "/tx/" + txid), 1);
}

// The histories of all watch addresses come in one bulk request; when it fails or leaves an
// address out, that address is asked on its own, and the records are the same either way.
TEST_F(RecentScanTest, HistoriesComeInBulkWithOneAddressFallback) {
    const std::string paid = chain.ledger.fund_outputs(
        {{p2pkh_script(watch.hash), 1000}, {inscribed(other_watch, "application/bsv-20", transfer_json("007")), 1}},
        true);
    const std::string pending = chain.ledger.fund_outputs(
        {{p2pkh_script(other_watch.hash), 1000}, {inscribed(watch, "application/bsv-20", transfer_json("3")), 1}},
        false);
    const std::string woc = kWocPrefix;
    struct Case {
        const char* name;
        FakeFault bulk;
        int bulk_posts;
        int single_gets;
    };
    FakeFault html;
    html.html = true;
    const Case cases[] = {
        {"bulk answers", FakeFault{}, 1, 0},
        {"bulk fails", FakeFault{500}, 1, 9},
        {"bulk answers an HTML page", html, 1, 9},
    };
    std::vector<std::string> first;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        reset_chain_session_for_tests();
        chain.woc.set_fault(woc + "/addresses/history/all", c.bulk);
        chain.woc.reset_counts();
        std::vector<LocalOrd> out;
        ingest_woc_recent_ords({watch.address, other_watch.address, "", watch.address}, out);
        EXPECT_EQ(chain.woc.request_count("POST", woc + "/addresses/history/all"), c.bulk_posts);
        EXPECT_EQ(chain.woc.request_count("GET", woc + "/address/"), c.single_gets);
        std::vector<std::string> origins;
        for (const LocalOrd& o : out)
            origins.push_back(o.origin);
        std::sort(origins.begin(), origins.end());
        EXPECT_EQ(std::count(origins.begin(), origins.end(), paid + "_1"), 2);
        EXPECT_EQ(std::count(origins.begin(), origins.end(), pending + "_1"), 1);
        if (first.empty()) first = origins;
        EXPECT_EQ(origins, first);
    }
}

// A bulk reply as long as the service's cap may have left an address out without saying so; the
// addresses are then asked one by one.
TEST_F(RecentScanTest, AFullBulkHistoryIsNotTrusted) {
    for (int i = 0; i < 1000; ++i)
        chain.ledger.fund(watch.address, 1000 + i, false);
    const std::string late = chain.ledger.fund(other_watch.address, 5000, false);
    const std::string woc = kWocPrefix;
    std::vector<LocalOrd> out;
    ingest_woc_recent_ords({watch.address, other_watch.address}, out);
    EXPECT_EQ(chain.woc.request_count("POST", woc + "/addresses/history/all"), 1);
    EXPECT_EQ(chain.woc.request_count("GET", woc + "/address/" + other_watch.address + "/unconfirmed/history"), 1);
    EXPECT_EQ(chain.woc.request_count(woc + "/tx/" + late), 1);
}
