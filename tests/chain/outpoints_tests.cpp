#include "chain/outpoints.h"

#include "support/temp_dir.h"
#include "support/wallet_fixture.h"

#include <gtest/gtest.h>

namespace {

const std::string kTxid = "00112233445566778899aabbccddeeff00112233445566778899aabbccddeeff";
const std::string kReversed = "ffeeddccbbaa99887766554433221100ffeeddccbbaa99887766554433221100";

struct OutpointsTest : ::testing::Test {
    TempDataDir dir;
    void SetUp() override { reset_wallet_state_for_tests(); }
    void TearDown() override { reset_wallet_state_for_tests(); }
};

} // namespace

TEST(Outpoints, KeysAndByteOrders) {
    EXPECT_EQ(outpoint_key(upper_copy(kTxid), 1), kTxid + ":1");
    EXPECT_EQ(reverse_txid_hex(upper_copy(kTxid)), kReversed);
    EXPECT_EQ(reverse_txid_hex(kTxid.substr(1)), "");
    EXPECT_EQ(reverse_txid_hex(kTxid + "0"), "");

    EXPECT_TRUE(is_txid_hex(upper_copy(kTxid)));
    EXPECT_FALSE(is_txid_hex(kTxid.substr(1)));
    EXPECT_FALSE(is_txid_hex(kTxid.substr(1) + "g"));
}

TEST(Outpoints, Equality) {
    struct Row {
        std::string a;
        std::uint32_t va;
        std::string b;
        std::uint32_t vb;
        bool equal;
    } rows[] = {
        {"", 0, "", 0, true},
        {kTxid, 0, kTxid, 1, false},
        {upper_copy(kTxid), 2, kReversed, 2, true},
        {kTxid, 2, kTxid.substr(1), 2, false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.a + " / " + row.b);
        EXPECT_EQ(outpoint_equal(row.a, row.va, row.b, row.vb), row.equal);
    }
}

TEST_F(OutpointsTest, SpentInEitherByteOrder) {
    mark_outpoint_spent(upper_copy(kTxid), 3);
    EXPECT_TRUE(is_outpoint_spent(kTxid, 3));
    EXPECT_TRUE(is_outpoint_spent(kReversed, 3));
    EXPECT_TRUE(is_outpoint_spent(upper_copy(kReversed), 3));
    EXPECT_FALSE(is_outpoint_spent(kTxid, 4));

    // Read back from a file, a single order still matches both.
    spent_outpoints() = {kReversed + ":5"};
    EXPECT_TRUE(is_outpoint_spent(kTxid, 5));

    const std::string short_id = kTxid.substr(1);
    mark_outpoint_spent(short_id, 0);
    EXPECT_TRUE(spent_outpoints().count(short_id + ":0"));
    EXPECT_EQ(spent_outpoints().size(), 2u);
}

TEST(Outpoints, HouseOracleAddresses) {
    for (const HouseOracleRow& row : house_oracles()) {
        SCOPED_TRACE(row.id);
        EXPECT_TRUE(is_house_oracle_address(row.addr1));
        EXPECT_TRUE(is_house_oracle_address(row.addr3));
        EXPECT_FALSE(is_house_oracle_address(row.addr2));
    }
    EXPECT_FALSE(is_house_oracle_address(""));
}
