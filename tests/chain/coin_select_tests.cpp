#include "chain/coin_select.h"

#include "chain/broadcast.h"
#include "chain/coin_snapshots.h"
#include "chain/outpoints.h"
#include "fakes/fake_clock.h"
#include "support/temp_dir.h"
#include "support/wallet_fixture.h"
#include "wallet/kv_cofferly_wallet.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cstdio>

using nlohmann::json;

namespace {

// Keys of the test mnemonic (tests/data/wallet-paths.json).
const std::string kReceive0 = kTestReceive0;
const std::string kReceive0Priv = "f55396199026d5ce4254e139f9eb4165f52f24eb634372fac7bdff8c075bba12";
const std::string kReceive1 = kTestReceive1;
const std::string kIdentity = "1Hg7Jm7G3DUetk4vxbAdjSf49qq3zbp8g6";
const std::string kIdentityPriv = "d9845ee2e9e92ddf65f4b9ff067a27f420d6f51664e4143ff6e5961919dbc6a6";
const std::string kOrdinals0 = "1Hyoxs2Lp5dKW95bFyKh2JCtwsuS8PqML8";

std::string txid_of(int n) {
    char buf[9];
    std::snprintf(buf, sizeof buf, "%08x", n);
    return std::string(buf) + std::string(56, 'a');
}

TxInput candidate(int n, std::uint64_t sats, std::int32_t height) {
    TxInput in;
    in.txid = txid_of(n);
    in.sats = sats;
    in.height = height;
    return in;
}

struct CoinSelectTest : ::testing::Test {
    TempDataDir dir;
    FakeClock clock;
    const Hash160 change_hash = test_hash_of(kReceive0);
    std::vector<TxInput> inputs;
    std::vector<TxOutput> outputs;
    std::uint64_t total = 0;
    std::int64_t fee = 0;
    std::string error;

    void SetUp() override {
        reset_wallet_state_for_tests();
        last_sent_txid().clear();
        last_success_txid().clear();
        KvCofferlyWallet& w = kv_wallet();
        w.wallet_id = "w1";
        w.is_hd = true;
        w.mnemonic = kTestMnemonic;
        w.identity_address = kIdentity;
    }
    void TearDown() override { reset_wallet_state_for_tests(); }

    void cache_coins(const std::string& address, const std::vector<Utxo>& coins, bool loaded = true) {
        address_coins().push_back(AddressCoins{address, coins, 0, loaded});
    }
    bool pay(std::uint64_t sats, std::size_t forced = 0) {
        return build_payment_tx(inputs, outputs, change_hash, {TxOutput{sats, p2pkh_script(test_hash_of(kReceive1))}},
                                fee, error, forced);
    }
    std::vector<std::string> collect(const std::vector<std::string>* avoid = nullptr) {
        collect_spendable_utxos(inputs, total, error, avoid);
        std::vector<std::string> ids;
        for (const TxInput& in : inputs)
            ids.push_back(in.txid);
        return ids;
    }
};

} // namespace

TEST(CoinSelectSize, IncrementalSizeMatchesTheSerialisation) {
    EXPECT_EQ(fee_for_size(0), 1);
    EXPECT_EQ(fee_for_size(11), 2);
    EXPECT_EQ(fee_for_size(3152), 316);
    // Input and output counts, and script lengths, on both sides of each CompactSize step.
    const std::size_t rows[][3] = {{0, 1, 25}, {1, 2, 25}, {252, 1, 25}, {253, 253, 252}, {300, 2, 70000}};
    for (const auto& row : rows) {
        SCOPED_TRACE(std::to_string(row[0]) + " " + std::to_string(row[1]) + " " + std::to_string(row[2]));
        PaymentSelection sel;
        sel.outputs.assign(row[1], TxOutput{5, Bytes(row[2], 0x51)});
        sel.outputs_bytes = estimate_tx_size(0, sel.outputs) - 9;
        for (std::size_t i = 0; i < row[0]; ++i)
            ASSERT_TRUE(try_add_input(sel, candidate(static_cast<int>(i), 1, 1)));
        const std::size_t serialised = serialize_tx(sel.inputs, sel.outputs, true).size();
        EXPECT_EQ(estimate_tx_size(row[0], sel.outputs), serialised);
        EXPECT_EQ(selection_size(sel), serialised);
    }
}

TEST_F(CoinSelectTest, FeeAndChange) {
    // One coin paying 1000: fee0 = fee(192) = 20, with a change output 226 bytes and 23. What a
    // change output cannot carry (less than 2 sats over its fee) goes to the fee.
    struct Row {
        std::uint64_t coin;
        std::int64_t fee;
        std::uint64_t change; // 0: no change output
        std::string error;
    } rows[] = {
        {100000, 23, 98977, ""},
        {1019, 20, 0, "insufficient funds. Need 1020 sats, you have 1019 in your Cofferly wallet."},
        {1020, 20, 0, ""},
        {1022, 22, 0, ""},
        {1024, 24, 0, ""},
        {1025, 23, 2, ""},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.coin);
        inputs = {candidate(1, row.coin, 5)};
        EXPECT_EQ(pay(1000), row.error.empty());
        EXPECT_EQ(fee, row.fee);
        EXPECT_EQ(error, row.error);
        ASSERT_EQ(outputs.size(), row.change ? 2u : 1u);
        if (row.change) {
            EXPECT_EQ(outputs[1].sats, row.change);
            EXPECT_EQ(outputs[1].script, p2pkh_script(change_hash));
        }
    }
}

TEST_F(CoinSelectTest, UnconfirmedCapAndRefusals) {
    // 25 unconfirmed coins of 1000 and one confirmed of 500, sorted by the collection.
    std::vector<Utxo> coins(25, Utxo{"", 0, 1000, 0});
    for (int i = 0; i < 25; ++i)
        coins[i].txid = txid_of(i);
    coins.push_back({txid_of(99), 0, 500, 800000});
    cache_coins(kReceive0, coins);
    ASSERT_EQ(collect().size(), 26u);
    EXPECT_EQ(inputs[0].txid, txid_of(99));
    EXPECT_FALSE(pay(21000));
    EXPECT_EQ(error, "insufficient funds. Need 21316 sats, you have 20500 in your Cofferly wallet.");
    EXPECT_EQ(inputs.size(), 21u);

    // The walk goes on past the cap to a confirmed coin; forced inputs come first.
    inputs.assign(22, candidate(0, 1000, 0));
    for (int i = 0; i < 22; ++i)
        inputs[i].txid = txid_of(i);
    inputs.push_back(candidate(50, 5000, 7));
    ASSERT_TRUE(pay(21000)) << error;
    EXPECT_EQ(inputs.size(), 21u);
    EXPECT_EQ(inputs.back().txid, txid_of(50));
    inputs = {candidate(2, 100000, 3), candidate(1, 1, 0)};
    ASSERT_TRUE(pay(1000, 2));
    EXPECT_EQ(inputs.size(), 2u);

    inputs[0].txid.pop_back();
    EXPECT_FALSE(pay(1000, 1));
    EXPECT_EQ(error, "could not include inscription input.");
    EXPECT_EQ(inputs.size(), 2u);
    EXPECT_FALSE(pay(static_cast<std::uint64_t>(-1)));
    EXPECT_EQ(error, "invalid inscription output.");
    EXPECT_FALSE(build_payment_tx(inputs, outputs, change_hash, {}, fee, error));
    EXPECT_EQ(error, "nothing to pay.");
}

TEST_F(CoinSelectTest, OrdinalLookupRules) {
    const Utxo one{txid_of(1), 0, 1, 5}, two{txid_of(2), 1, 2, 5};
    auto check = [&](const char* label, bool one_at, bool two_at, bool one_any, bool two_any) {
        SCOPED_TRACE(label);
        EXPECT_EQ(is_ord_outpoint_at(kReceive0, one), one_at);
        EXPECT_EQ(is_ord_outpoint_at(kReceive0, two), two_at);
        EXPECT_EQ(is_ord_outpoint_any(one), one_any);
        EXPECT_EQ(is_ord_outpoint_any(two), two_any);
    };
    check("no look-up", true, false, false, false);
    store_ord_outpoints(kReceive0, {}, true);
    check("fresh and clean", false, false, false, false);
    store_ord_outpoints(kReceive0, {outpoint_key(two.txid, 1)}, true);
    // Only a single satoshi carries an ordinal: a larger coin a listing names is still plain.
    check("fresh, listing the 2-sat coin", false, false, false, false);
    clock.advance(kOrdSetFreshMs);
    check("stale", true, false, false, false);
    store_ord_outpoints("1Other", {}, false);
    store_ord_outpoints(kReceive0, {}, true);
    check("failed elsewhere, flag fresh", true, false, true, false);
    clock.advance(kOrdSetFreshMs);
    check("all stale", true, false, false, false);
}

TEST_F(CoinSelectTest, WalletAddressesAndTheirKeys) {
    cache_coins(kReceive0, {{txid_of(1), 0, 700, 10}, {txid_of(1), 0, 700, 10}, {txid_of(2), 3, 900, 0}});
    cache_coins(kIdentity, {{txid_of(3), 1, 800, 10}});
    cache_coins(kReceive1, {{txid_of(4), 0, 5000, 10}});  // beyond recv[1] = 0
    cache_coins(kOrdinals0, {{txid_of(5), 0, 5000, 10}}); // the ordinals account
    address_coins().insert(address_coins().begin(), AddressCoins{kReceive0, {{txid_of(7), 0, 9000, 9}}, 0, false});

    EXPECT_EQ(collect(), (std::vector<std::string>{txid_of(3), txid_of(1), txid_of(2)}));
    EXPECT_EQ(total, 2400u);
    EXPECT_EQ(inputs[0].priv_hex, kIdentityPriv);
    EXPECT_EQ(inputs[0].hash160, test_hash_of(kIdentity));
    EXPECT_EQ(inputs[1].priv_hex, kReceive0Priv);

    std::vector<std::string> addresses;
    kv_wallet().recv[1] = 1;
    list_wallet_addresses(addresses);
    EXPECT_EQ(addresses, (std::vector<std::string>{kReceive0, kReceive1, kIdentity}));
}

TEST_F(CoinSelectTest, PromisedSpentAndAvoidedCoinsStayOut) {
    std::vector<Utxo> coins;
    for (int i = 0; i < 10; ++i)
        coins.push_back({i == 9 ? upper_copy(txid_of(i)) : txid_of(i), 1, 1000 + i, 10});
    cache_coins(kReceive0, coins);
    mark_outpoint_spent(reverse_txid_hex(txid_of(0)), 1);
    const std::int64_t now_s = clock.system_ms / 1000;
    test_write_file(bazarel_reserves_path(), json{{"reserves", {{{"utxo", upper_copy(txid_of(1)) + ":1"}}}}}.dump());
    test_write_file(gallery_reserves_path(),
                    json{{"reserves",
                          {{{"pic_utxo", txid_of(2) + "_1"}, {"cert_utxo", txid_of(3) + "_1"}, {"exp", now_s}},
                           {{"pic_utxo", txid_of(8) + "_1"}, {"exp", now_s - 1}}}}}
                        .dump());
    test_write_file(tradeloom_holds_path(), json{{"holds", {{{"utxo", txid_of(4) + "_1"}}}}}.dump());
    test_write_file(offer_locks_path(), json{{"utxos", {txid_of(5) + "_1", txid_of(0) + "_1"}}}.dump());

    const std::vector<std::string> avoid = {txid_of(6) + "_1", txid_of(9) + "_1"};
    EXPECT_EQ(collect(&avoid), (std::vector<std::string>{txid_of(8), txid_of(7)}));
    EXPECT_EQ(json::parse(test_read_file(offer_locks_path()))["utxos"], json({txid_of(5) + "_1"}));

    // A promise file that stays unreadable refuses the whole collection.
    test_write_file(tradeloom_holds_path(), "{\"holds\": [");
    EXPECT_TRUE(collect().empty());
    EXPECT_EQ(error, "a coin reservation file could not be read; try again.");
}

TEST_F(CoinSelectTest, ChangeCoins) {
    const Hash160 receive = test_hash_of(kReceive0);
    // Also listed by the address cache; keyless; 1 sat; 6,000 sats a listing names as an ordinal;
    // a key the wallet lacks.
    change_coins() = {
        {txid_of(1), 0, 4000, 0, kReceive0Priv, "02aa", receive},
        {txid_of(2), 0, 3000, 0, "", "", test_hash_of(kIdentity)},
        {txid_of(3), 0, 1, 0, kReceive0Priv, "02aa", receive},
        {txid_of(4), 2, 6000, 0, kReceive0Priv, "02aa", receive},
        {txid_of(5), 0, 2000, 0, "", "", Hash160{}},
    };
    cache_coins(kReceive0, {{reverse_txid_hex(txid_of(1)), 0, 4000, 10}, {txid_of(6), 0, 1, 10}});
    store_ord_outpoints(kReceive1, {outpoint_key(txid_of(4), 2)}, true);

    EXPECT_EQ(collect(), (std::vector<std::string>{txid_of(4), txid_of(1), txid_of(2)}));
    EXPECT_EQ(inputs[2].priv_hex, kIdentityPriv);
    ASSERT_EQ(change_coins().size(), 2u);
    EXPECT_EQ(change_coins()[0].txid, txid_of(3));

    // After a clean look-up the cached 1-sat coin may pay; the 1-sat change coin never does.
    store_ord_outpoints(kReceive0, {}, true);
    EXPECT_EQ(collect(), (std::vector<std::string>{reverse_txid_hex(txid_of(1)), txid_of(6)}));
}
