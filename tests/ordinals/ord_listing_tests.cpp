#include "ordinals/ord_listing.h"

#include "chain/outpoints.h"

#include <gtest/gtest.h>

namespace {

const std::string kTx = "0123456789abcdef00112233445566778899aabbccddeeff0f1e2d3c4b5a6978";
const std::string kId = kTx + "_0";

KvCofferlyOrdRow token(const std::string& key, const std::string& amt, std::uint32_t height = 5) {
    KvCofferlyOrdRow row;
    row.key = key;
    row.token_id = kId;
    row.amt = amt;
    row.height = height;
    return row;
}

std::string key_n(char c) {
    return std::string(64, c) + "_1";
}

} // namespace

TEST(OrdListingRows, DedupeKeysAndTokenRows) {
    struct Row {
        const char* what;
        std::string key, txid, type, amt, token_id;
        std::uint32_t vout;
        std::string dedupe;
        bool token;
    } rows[] = {
        {"txid and vout", "other", "ABC" + kTx.substr(3), "image/png", "", "", 7, "abc" + kTx.substr(3) + "_7", false},
        {"short txid keeps the key", "KEY_1", "abc", "bsv-20", "", "", 0, "key_1", true},
        {"amount alone", "k", "", "text/plain", "5", "", 0, "k", true},
        {"token id alone", "k", "", "", "", kId, 0, "k", true},
        {"type too short", "k", "", "bsv-2", "", "", 0, "k", false},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.what);
        KvCofferlyOrdRow row;
        row.key = r.key;
        row.txid = r.txid;
        row.vout = r.vout;
        row.type = r.type;
        row.amt = r.amt;
        row.token_id = r.token_id;
        EXPECT_EQ(row_dedupe_key(row), r.dedupe);
        EXPECT_EQ(is_token_row(row), r.token);
    }
    EXPECT_TRUE(ord_key_equals(kId, "0123456789ABCDEF00112233445566778899AABBCCDDEEFF0F1E2D3C4B5A6978_0"));
    EXPECT_FALSE(ord_key_equals(kId, kTx));
}

TEST(OrdListingMerge, OneHoldingPerToken) {
    std::vector<KvCofferlyOrdRow> rows = {token(key_n('1'), "1"), token(key_n('2'), "20", 0), token(key_n('3'), "300")};
    KvCofferlyOrdRow bare = token(key_n('4'), "");
    KvCofferlyOrdRow art;
    art.key = key_n('5');
    rows.insert(rows.begin() + 1, art);
    rows.push_back(bare);
    rows.push_back(token(key_n('1'), "1")); // the same output twice counts once
    merge_token_holdings(rows, {});
    ASSERT_EQ(rows.size(), 2u);
    const KvCofferlyOrdRow& holding = rows[0];
    EXPECT_EQ(holding.key, key_n('1'));
    EXPECT_EQ(holding.amt, "321");
    EXPECT_EQ(holding.height, 0u);
    EXPECT_EQ(holding.aliases, (std::vector<std::string>{key_n('1'), key_n('2'), key_n('3')}));
    EXPECT_EQ(rows[1].key, key_n('5'));
}

// Rows appended between look-ups are found through the index as by a plain search: the first row
// of a key, whatever its byte order or letter case.
TEST(OrdListingMerge, IndexFindsTheFirstRowOfAKey) {
    std::vector<KvCofferlyOrdRow> rows = {token(key_n('1'), "1")};
    ListingRowIndex index;
    EXPECT_EQ(find_listing_row(rows, index, kId), nullptr);
    rows.push_back(token("0123456789ABCDEF" + kTx.substr(16) + "_0", "2"));
    rows.push_back(token(kId, "3"));
    for (const std::string& key : {kId, kTx, reverse_txid_hex(kTx) + "_0"})
        EXPECT_EQ(find_listing_row(rows, index, key), &rows[1]) << key;
    EXPECT_EQ(find_listing_row(rows, index, key_n('1')), &rows[0]);
    EXPECT_EQ(find_listing_row(rows, index, key_n('2')), nullptr);
}

TEST(OrdListingMerge, DeployOutputTheIndexNoLongerListsIsLeftOut) {
    struct Row {
        const char* what;
        std::unordered_set<std::string> remembered;
        std::string amt;
        std::string key;
    } cases[] = {
        {"no memory", {}, "15", kId},
        {"listed", {kId, key_n('2')}, "15", kId},
        {"gone", {key_n('2')}, "5", key_n('2')},
    };
    for (const Row& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<KvCofferlyOrdRow> rows = {token(kId, "10"), token(key_n('2'), "5")};
        merge_token_holdings(rows, c.remembered);
        ASSERT_EQ(rows.size(), 1u);
        EXPECT_EQ(rows[0].amt, c.amt);
        EXPECT_EQ(rows[0].key, c.key);
    }
}
