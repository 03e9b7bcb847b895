#include "ordinals/gp_tokens.h"

#include "support/wallet_fixture.h"

#include <gtest/gtest.h>

using nlohmann::json;

namespace {

const std::string kTx = hex_id('a');
const std::string kId = hex_id('b') + "_0";

struct TokenMapsTest : testing::Test {
    TokenMapsTest() { clear_token_maps(); }
    ~TokenMapsTest() override { clear_token_maps(); }
};

} // namespace

TEST(GpTokens, TokenItemFromEachSourceAndMalformedItems) {
    // `want` lists the five outputs (id, amount, name, decimals, icon) of an item that is a token,
    // null for one that is not.
    using W = std::vector<std::string>;
    struct Row {
        const char* what;
        json item;
        json want;
    } rows[] = {
        {"bsv20 with padded amount and numeric decimals",
         {{"data", {{"bsv20", {{"id", kId}, {"amt", "000120"}, {"dec", 8}, {"icon", "ic"}}}}}},
         W{kId, "120", "", "8", "ic"}},
        {"bsv21 with integer amount", {{"data", {{"bsv21", {{"id", kId}, {"amt", 5}}}}}}, W{kId, "5", "", "", ""}},
        {"bsv20 before bsv21",
         {{"data", {{"bsv20", {{"amt", "1"}}}, {"bsv21", {{"amt", "2"}}}}}},
         W{"", "1", "", "", ""}},
        {"inscription JSON of bsv-20",
         {{"data", {{"insc", {{"json", {{"p", "bsv-20"}, {"amt", "7"}, {"name", "  Zed  "}}}}}}}},
         W{"", "7", "Zed", "", ""}},
        {"inscription JSON of another protocol",
         {{"data", {{"insc", {{"json", {{"p", "bsv-21"}, {"amt", "7"}}}}}}}},
         nullptr},
        {"inscription JSON fills what bsv20 lacks",
         {{"data",
           {{"bsv20", {{"amt", "3"}}},
            {"insc", {{"json", {{"id", kId}, {"name", std::string(60, 'n')}, {"dec", "2"}}}}}}}},
         W{kId, "3", std::string(48, 'n'), "2", ""}},
        {"amount with a letter", {{"data", {{"bsv20", {{"amt", "12a"}}}}}}, nullptr},
        {"wrong member types",
         {{"data", {{"bsv20", {{"id", 5}, {"amt", "9"}, {"name", json::object()}, {"dec", 1.5}, {"icon", true}}}}}},
         W{"", "9", "", "", ""}},
        {"data not an object", {{"data", "bsv20"}}, nullptr},
        {"not an object", json::array({{{"data", {{"bsv20", {{"amt", "1"}}}}}}}), nullptr},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        W got(5, "x");
        const bool ok = parse_gp_token_item(row.item, got[0], got[1], got[2], got[3], got[4]);
        EXPECT_EQ(ok, !row.want.is_null());
        if (ok) {
            EXPECT_EQ(json(got), row.want);
        }
    }
}

TEST(GpTokens, SingleFieldsAndTheirFallbacks) {
    const std::string short_id = "abc";
    struct Row {
        const char* what;
        json item;
        std::string amt, dec, id;
    } rows[] = {
        {"own fields", {{"amt", "0042"}, {"dec", "3"}, {"id", kId}}, "42", "3", kId},
        {"balance when no amt", {{"balance", 9}}, "9", "", ""},
        {"bsv21 data", {{"data", {{"bsv21", {{"amt", "5"}, {"dec", 1}, {"id", kId}}}}}}, "5", "1", kId},
        {"bsv20 present without decimals hides bsv21's",
         {{"data", {{"bsv20", {{"amt", ""}}}, {"bsv21", {{"amt", "6"}, {"dec", 2}}}}}},
         "6",
         "",
         ""},
        {"short own id replaced by the data's, even by nothing",
         {{"id", short_id}, {"data", {{"bsv20", {{"amt", "1"}}}}}},
         "1",
         "",
         ""},
        {"short own id kept without data", {{"id", short_id}}, "", "", short_id},
        {"negative and fractional amounts", {{"amt", -1}, {"balance", 2.5}}, "", "", ""},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        EXPECT_EQ(gp_token_amount(row.item), row.amt);
        EXPECT_EQ(gp_token_dec(row.item), row.dec);
        EXPECT_EQ(gp_token_id(row.item), row.id);
    }
}

TEST_F(TokenMapsTest, RememberedByOutpointAndByTxidInAnyCase) {
    remember_token_outpoint(std::string(65, 'c'), "1", "1");
    EXPECT_EQ(indexed_token_amt(std::string(65, 'c'), "", 0), "");

    index_token_outpoint({{"outpoint", upper_copy(kId)}, {"amt", "010"}, {"dec", 2}});
    EXPECT_EQ(indexed_token_amt(kId, "", 0), "10");
    EXPECT_EQ(indexed_token_dec(upper_copy(kId), "not-a-txid", 0), "2");

    // A txid with a negative vout is remembered under output 0, never under a wrapped index.
    index_token_outpoint({{"txid", upper_copy(kTx)}, {"vout", -1}, {"amt", "4"}});
    EXPECT_EQ(indexed_token_amt("", kTx, 0), "4");
    index_token_outpoint({{"txid", kTx}, {"vout", 3}, {"amt", "5"}});
    // The txid form wins over the key; a later amount replaces the earlier, empty decimals do not.
    EXPECT_EQ(indexed_token_amt(kId, upper_copy(kTx), 3), "5");
    remember_token_outpoint(kId, "11", "");
    EXPECT_EQ(indexed_token_amt(kId, kTx, 9), "11");
    EXPECT_EQ(indexed_token_dec(kId, kTx, 9), "2");

    index_token_outpoint({{"outpoint", hex_id('d') + "_1"}, {"amt", "x"}});
    EXPECT_EQ(indexed_token_amt(hex_id('d') + "_1", "", 0), "");
    clear_token_maps();
    EXPECT_EQ(indexed_token_amt(kId, "", 0), "");
}

TEST_F(TokenMapsTest, RowTokenFieldsFromMapsLocalRecordAndInscription) {
    remember_token_outpoint(kTx + "_1", "77", "4");
    TokenInscription transfer;
    transfer.op = "transfer";
    transfer.amt = "0009";
    transfer.dec = "6";
    TokenInscription deploy = transfer;
    deploy.op = "deploy";
    LocalOrd local = local_ord_init();
    local.amt = "15";
    local.dec = "3";
    local.token_id = kId;
    LocalOrd empty_local = local_ord_init();

    struct Row {
        const char* what;
        std::string key;
        const TokenInscription* insc;
        const LocalOrd* local;
        std::string amt, dec, token_id;
    } rows[] = {
        {"remembered under an upper-case key", upper_copy(kTx) + "_1", &deploy, &local, "77", "4", kId},
        {"local record", kTx + "_2", &deploy, &local, "15", "3", kId},
        {"transfer inscription", kTx + "_2", &transfer, &empty_local, "9", "6", ""},
        {"deploy with nothing remembered", kTx + "_2", &deploy, nullptr, "", "6", ""},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.what);
        KvCofferlyOrdRow row;
        row.key = r.key;
        row.amt = "stale";
        row.dec = "stale";
        fill_row_token(row, *r.insc, r.local);
        EXPECT_EQ(row.amt, r.amt);
        EXPECT_EQ(row.dec, r.dec);
        EXPECT_EQ(row.token_id, r.token_id);
    }

    KvCofferlyOrdRow own;
    own.token_id = "own";
    fill_row_token(own, transfer, &local);
    EXPECT_EQ(own.token_id, "own");
}

// A listing that runs alone starts from empty maps; one that starts while another runs must not
// take the other's amounts from under it.
TEST_F(TokenMapsTest, OverlappingListingsKeepEachOthersAmounts) {
    remember_token_outpoint(kId, "3", "");
    {
        TokenMapsUse alone;
        EXPECT_EQ(indexed_token_amt(kId, "", 0), "");
        remember_token_outpoint(kId, "9", "");
        {
            TokenMapsUse overlapping;
            EXPECT_EQ(indexed_token_amt(kId, "", 0), "9");
        }
        EXPECT_EQ(indexed_token_amt(kId, "", 0), "9");
    }
    TokenMapsUse next;
    EXPECT_EQ(indexed_token_amt(kId, "", 0), "");
}
