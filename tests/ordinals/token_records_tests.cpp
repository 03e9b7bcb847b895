#include "ordinals/token_records.h"

#include "ordinals/content_cache.h"
#include "support/temp_dir.h"
#include "support/wallet_fixture.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <cstdint>
#include <string>

namespace {

const std::string kTxid = "00112233445566778899aabbccddeeff00112233445566778899aabbccddeeff";
const std::string kReversed = "ffeeddccbbaa99887766554433221100ffeeddccbbaa99887766554433221100";

Bytes bytes_of(const std::string& text) {
    return Bytes(text.begin(), text.end());
}

LocalOrd local_ord(const std::string& origin, bool hidden) {
    LocalOrd ord = local_ord_init();
    ord.origin = origin;
    ord.hidden = hidden;
    return ord;
}

struct TokenRecordsTest : ::testing::Test {
    TempDataDir dir;
    WalletLock lock = lock_wallet();
    void SetUp() override { reset_wallet_state_for_tests(); }
    void TearDown() override { reset_wallet_state_for_tests(); }
};

} // namespace

TEST(TokenRecords, ParseTokenJson) {
    const std::string long_name(60, 'n');
    struct Row {
        std::string content;
        bool ok;
        std::string op, amt, dec, id, name;
    } rows[] = {
        {R"({"p":"bsv-20","op":"transfer","amt":"1000","id":")" + kTxid + R"(_0"})", true, "transfer", "1000", "",
         kTxid + "_0", ""},
        {R"({"p":"bsv-20","op":"transfer","id":"x"})", false, "transfer", "", "", "x", ""},
        {R"({"p":"bsv-20","amt":1000,"dec":-2})", true, "", "1000", "-2", "", ""},
        {R"({"p":"bsv-20","amt":" 007 ","dec":"8"})", true, "", "7", "8", "", ""},
        {R"({"p":"bsv-20","amt":"1","name":")" + long_name + R"("})", true, "", "1", "", "", long_name.substr(0, 48)},
        // Amounts that are no decimal digits are no amounts.
        {R"({"p":"bsv-20","amt":"12abc"})", false, "", "", "", "", ""},
        {R"({"p":"bsv-20","amt":-5})", false, "", "", "", "", ""},
        {R"({"p":"bsv-20","amt":1.5})", false, "", "", "", "", ""},
        {R"({"p":"bsv-20","amt":184467440737095516160})", false, "", "", "", "", ""},
        // Another protocol, or the right one in another shape.
        {R"({"p":"bsv-21","amt":"1"})", false, "", "", "", "", ""},
        {R"({"p":"BSV-20","amt":"1"})", false, "", "", "", "", ""},
        {R"([{"p":"bsv-20","amt":"1"}])", false, "", "", "", "", ""},
        {"bsv-20", false, "", "", "", "", ""},
        {R"({"p":"bsv-20","amt":"1")", false, "", "", "", "", ""},
        {"", false, "", "", "", "", ""},
        // A wrong member type ends the reading; what was read before it stays.
        {R"({"p":"bsv-20","op":"mint","amt":"3","name":42})", false, "mint", "3", "", "", ""},
        {R"({"p":"bsv-20","amt":"3","id":7})", false, "", "3", "", "", ""},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.content);
        TokenInscription token;
        token.sym = "stale";
        EXPECT_EQ(parse_token_json(bytes_of(row.content), token), row.ok);
        EXPECT_EQ(token.op, row.op);
        EXPECT_EQ(token.amt, row.amt);
        EXPECT_EQ(token.dec, row.dec);
        EXPECT_EQ(token.id, row.id);
        EXPECT_EQ(token.name, row.name);
        EXPECT_EQ(token.sym, "");
    }
}

TEST(TokenRecords, AmountAndDecimalMembers) {
    using nlohmann::json;
    struct Row {
        json value;
        std::string amt, dec;
    } rows[] = {
        {json{{"amt", std::int64_t{5}}, {"dec", std::int64_t{-2}}}, "5", "-2"},
        {json{{"amt", std::uint64_t{18446744073709551615u}}, {"dec", std::uint64_t{8}}}, "18446744073709551615", "8"},
        {json{{"amt", true}, {"dec", json::object()}}, "", ""},
        {json::array({"amt", "dec"}), "", ""},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.value.dump());
        EXPECT_EQ(json_token_amt(row.value), row.amt);
        EXPECT_EQ(json_token_dec(row.value), row.dec);
    }
}

TEST(TokenRecords, NormalizeAndAdd) {
    const struct {
        const char* in;
        const char* out;
    } normal[] = {
        {" \t007\t ", "7"}, {"000", "0"}, {"0", "0"}, {"12a", ""},      {"12\n", ""},
        {" \t", ""},        {"1 2", ""},  {"+1", ""}, {"\xd9\xa3", ""},
    };
    for (const auto& row : normal) {
        SCOPED_TRACE(row.in);
        EXPECT_EQ(normalize_token_amount(row.in), row.out);
    }

    const std::string forty(40, '9');
    const struct {
        std::string a, b, sum;
    } sums[] = {
        {"999", "1", "1000"},
        {"", "5", "5"},
        {"abc", "7", "7"},
        {"", "", "0"},
        {"0007", " 3", "10"},
        {forty, forty, "1" + std::string(39, '9') + "8"},
        {forty, "1", "1" + std::string(40, '0')},
    };
    for (const auto& row : sums) {
        SCOPED_TRACE(row.a + " + " + row.b);
        EXPECT_EQ(add_decimal_strings(row.a, row.b), row.sum);
    }
}

TEST(TokenRecords, KeysMatchAndRowLookUp) {
    const struct {
        std::string a, b;
        bool match;
    } rows[] = {
        {"", "", true},
        {"not a key", "not a key", true},
        {kTxid, kTxid + "_0", true},
        {kTxid, kTxid + "_1", false},
        {upper_copy(kTxid) + "_2", kTxid + "_2", true},
        {kReversed + "_2", kTxid + "_2", true},
        {kTxid.substr(1), kTxid.substr(1) + "_0", false},
        {kReversed, upper_copy(kTxid), true},
        {kTxid + "_01", kTxid + "_1", true},
        {"=" + kTxid + "_1", kTxid + "_1", false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.a + " / " + row.b);
        EXPECT_EQ(ord_keys_match(row.a, row.b), row.match);
        EXPECT_EQ(ord_match_key(row.a) == ord_match_key(row.b), row.match);
    }

    std::vector<KvCofferlyOrdRow> listed(3);
    listed[0].key = kTxid + "_1";
    listed[1].key = kTxid + "_0";
    listed[2].key = kTxid;
    EXPECT_EQ(find_row_by_key(listed, kReversed), &listed[1]);
    EXPECT_EQ(find_row_by_key(listed, kTxid + "_3"), nullptr);
    EXPECT_EQ(find_row_by_key({}, kTxid), nullptr);
}

TEST_F(TokenRecordsTest, LocalListKeepsOneEntryPerOrigin) {
    EXPECT_TRUE(add_local_ord(local_ord(kTxid + "_0", false)));
    EXPECT_FALSE(add_local_ord(local_ord(kTxid + "_0", true)));
    EXPECT_FALSE(add_local_ord(local_ord("", false)));
    ASSERT_EQ(kv_wallet().ord_owned.size(), 1u);
    EXPECT_FALSE(kv_wallet().ord_owned[0].hidden);

    EXPECT_EQ(find_local_ord(kTxid + "_0"), &kv_wallet().ord_owned[0]);
    EXPECT_EQ(find_local_ord(upper_copy(kTxid) + "_0"), nullptr);
    EXPECT_EQ(find_local_ord(""), nullptr);
}

TEST_F(TokenRecordsTest, HiddenByOriginOrTokenId) {
    const std::string deploy = kTxid + "_0";
    const std::string first = kReversed + "_1";
    const std::string second = kReversed + "_2";
    const std::string token = R"({"p":"bsv-20","op":"transfer","amt":"5","id":")" + deploy + R"("})";
    ord_cache_write_content(first, "application/bsv-20", bytes_of(token));
    ord_cache_write_content(second, "application/bsv-20", bytes_of(token));

    // A token without an id, and content that is no token, leave the origin as the id.
    const std::string plain = kReversed + "_3";
    ord_cache_write_content(plain, "text/plain", bytes_of("hello"));
    EXPECT_EQ(local_ord_token_id(local_ord(plain, false)), plain);
    EXPECT_EQ(local_ord_token_id(local_ord(kTxid + "_9", false)), kTxid + "_9");
    EXPECT_EQ(local_ord_token_id(local_ord(first, false)), deploy);

    EXPECT_FALSE(local_ord_all_hidden(deploy));
    ASSERT_TRUE(add_local_ord(local_ord(first, true)));
    ASSERT_TRUE(add_local_ord(local_ord(second, false)));
    ASSERT_TRUE(add_local_ord(local_ord(plain, true)));
    EXPECT_FALSE(local_ord_all_hidden(deploy));
    EXPECT_TRUE(local_ord_all_hidden(plain));
    EXPECT_FALSE(local_ord_all_hidden(second));
    EXPECT_FALSE(local_ord_all_hidden(""));

    find_local_ord(second)->hidden = true;
    EXPECT_TRUE(local_ord_all_hidden(deploy));
    EXPECT_TRUE(local_ord_all_hidden(second));
}
