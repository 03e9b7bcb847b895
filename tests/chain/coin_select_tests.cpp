#include "chain/coin_select.h"

#include "chain/broadcast.h"
#include "chain/coin_snapshots.h"
#include "chain/outpoints.h"
#include "fakes/fake_clock.h"
#include "support/temp_dir.h"
#include "support/wallet_reset.h"
#include "wallet/kv_cofferly_wallet.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cstdio>

using nlohmann::json;

namespace {

const char kMnemonic[] =
    "abandon abandon abandon abandon abandon abandon abandon abandon abandon abandon abandon about";
// Keys of the mnemonic above (tests/data/wallet-paths.json).
const std::string kReceive0 = "18pBoqRpHUYf9udsab5G9LT3vQUPxEyMFf";
const std::string kReceive0Priv = "f55396199026d5ce4254e139f9eb4165f52f24eb634372fac7bdff8c075bba12";
const std::string kReceive1 = "15QVfsvs8n6eoZgjH4e48A9BxLS7EMeWq6";
const std::string kIdentity = "1Hg7Jm7G3DUetk4vxbAdjSf49qq3zbp8g6";
const std::string kIdentityPriv = "d9845ee2e9e92ddf65f4b9ff067a27f420d6f51664e4143ff6e5961919dbc6a6";
const std::string kOrdinals0 = "1Hyoxs2Lp5dKW95bFyKh2JCtwsuS8PqML8";

// A transaction id per number, so every coin of a test is its own outpoint.
std::string txid_of(int n) {
    char buf[9];
    std::snprintf(buf, sizeof buf, "%08x", n);
    return std::string(buf) + std::string(56, 'a');
}

std::string upper(std::string s) {
    for (char& c : s)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    return s;
}

TxInput candidate(int n, std::uint64_t sats, std::int32_t height) {
    TxInput in;
    in.txid = txid_of(n);
    in.sats = sats;
    in.height = height;
    return in;
}

Hash160 hash_of(const std::string& address) {
    Hash160 h{};
    address_to_hash160(address, h);
    return h;
}

std::vector<TxOutput> pay(std::uint64_t sats) {
    return {TxOutput{sats, p2pkh_script(hash_of(kReceive1))}};
}

struct CoinSelectTest : ::testing::Test {
    TempDataDir dir;
    FakeClock clock;
    Hash160 change_hash = hash_of(kReceive0);

    void SetUp() override {
        reset_wallet_state_for_tests();
        last_sent_txid().clear();
        last_success_txid().clear();
        kv_wallet().wallet_id = "w1";
    }
    void TearDown() override { reset_wallet_state_for_tests(); }

    void load_hd_wallet(std::uint32_t receive_counter) {
        KvCofferlyWallet& w = kv_wallet();
        w.is_hd = true;
        w.mnemonic = kMnemonic;
        w.recv[1] = receive_counter;
        w.identity_address = kIdentity;
    }
    void cache_coins(const std::string& address, const std::vector<Utxo>& coins, bool loaded = true) {
        AddressCoins entry;
        entry.address = address;
        entry.utxos = coins;
        entry.loaded = loaded;
        address_coins().push_back(entry);
    }
    std::vector<std::string> collected_txids(const std::vector<std::string>* avoid = nullptr) {
        std::vector<TxInput> inputs;
        std::uint64_t total = 0;
        std::string error;
        collect_spendable_utxos(inputs, total, error, avoid);
        EXPECT_EQ(error, "");
        std::vector<std::string> out;
        for (const TxInput& in : inputs)
            out.push_back(in.txid);
        return out;
    }
};

} // namespace

TEST(CoinSelectFee, FeeAndEstimateSizeMatchTheSerialisation) {
    struct FeeRow {
        std::size_t size;
        std::int64_t fee;
    } fees[] = {{0, 1}, {1, 1}, {10, 1}, {11, 2}, {192, 20}, {226, 23}, {3152, 316}};
    for (const FeeRow& row : fees)
        EXPECT_EQ(fee_for_size(row.size), row.fee) << row.size;

    // Input counts and output shapes on both sides of each CompactSize step.
    struct SizeRow {
        std::size_t inputs;
        std::size_t outputs;
        std::size_t script_len;
    } rows[] = {{0, 1, 25},    {1, 1, 25},   {1, 2, 25},  {252, 1, 25},  {253, 1, 25},
                {254, 3, 252}, {1, 253, 25}, {2, 1, 253}, {3, 2, 70000}, {300, 1, 0}};
    for (const SizeRow& row : rows) {
        SCOPED_TRACE(std::to_string(row.inputs) + " in, " + std::to_string(row.outputs) + " out, script " +
                     std::to_string(row.script_len));
        std::vector<TxInput> inputs;
        for (std::size_t i = 0; i < row.inputs; ++i)
            inputs.push_back(candidate(static_cast<int>(i), 1, 1));
        std::vector<TxOutput> outputs(row.outputs, TxOutput{5, Bytes(row.script_len, 0x51)});
        const std::size_t serialised = serialize_tx(inputs, outputs, true).size();
        EXPECT_EQ(estimate_tx_size(row.inputs, outputs), serialised);

        PaymentSelection sel;
        sel.outputs = outputs;
        sel.outputs_bytes = estimate_tx_size(0, outputs) - 9;
        for (const TxInput& in : inputs)
            ASSERT_TRUE(try_add_input(sel, in));
        EXPECT_EQ(selection_size(sel), serialised);
    }
}

TEST_F(CoinSelectTest, OneConfirmedCoinPaysWithChangeLast) {
    std::vector<TxInput> coins = {candidate(1, 100000, 800000)};
    std::vector<TxOutput> outputs;
    std::int64_t fee = -1;
    std::string error;
    ASSERT_TRUE(build_payment_tx(coins, outputs, change_hash, pay(1000), fee, error));
    EXPECT_EQ(error, "");
    EXPECT_EQ(fee, 23);
    ASSERT_EQ(coins.size(), 1u);
    ASSERT_EQ(outputs.size(), 2u);
    EXPECT_EQ(outputs[0].sats, 1000u);
    EXPECT_EQ(outputs[1].sats, 98977u);
    EXPECT_EQ(outputs[1].script, p2pkh_script(change_hash));
    EXPECT_EQ(serialize_tx(coins, outputs, true).size(), 226u);
}

TEST_F(CoinSelectTest, UnconfirmedCapAndShortfallText) {
    // 25 unconfirmed coins of 1000 and one confirmed coin of 500, through the collection's sort.
    kv_wallet().address = kReceive0;
    kv_wallet().priv = kReceive0Priv;
    std::vector<Utxo> coins;
    for (int i = 0; i < 25; ++i)
        coins.push_back({txid_of(i), 0, 1000, 0});
    coins.push_back({txid_of(99), 0, 500, 800000});
    cache_coins(kReceive0, coins);

    std::vector<TxInput> inputs;
    std::uint64_t total = 0;
    std::string error;
    ASSERT_TRUE(collect_spendable_utxos(inputs, total, error));
    ASSERT_EQ(inputs.size(), 26u);
    EXPECT_EQ(total, 25500u);
    EXPECT_EQ(inputs[0].txid, txid_of(99));
    EXPECT_EQ(inputs[0].priv_hex, kReceive0Priv);
    EXPECT_EQ(inputs[0].hash160, change_hash);

    std::vector<TxOutput> outputs;
    std::int64_t fee = 0;
    EXPECT_FALSE(build_payment_tx(inputs, outputs, change_hash, pay(21000), fee, error));
    EXPECT_EQ(error, "insufficient funds. Need 21316 sats, you have 20500 in your Cofferly wallet.");
    EXPECT_EQ(fee, 316);
    EXPECT_EQ(inputs.size(), 21u);
    EXPECT_EQ(outputs.size(), 1u);
    EXPECT_EQ(serialize_tx(inputs, outputs, true).size(), 3152u);

    // A confirmed coin after the cap is still taken.
    std::vector<TxInput> mixed;
    for (int i = 0; i < 22; ++i)
        mixed.push_back(candidate(i, 1000, 0));
    mixed.push_back(candidate(50, 5000, 7));
    ASSERT_TRUE(build_payment_tx(mixed, outputs, change_hash, pay(21000), fee, error)) << error;
    EXPECT_EQ(mixed.size(), 21u);
    EXPECT_EQ(mixed.back().txid, txid_of(50));
}

TEST_F(CoinSelectTest, ChangeRuleAtTheEdges) {
    // fee0 = fee(192) = 20; with a change output the size is 226 and the fee 23.
    struct Row {
        std::uint64_t coin;
        bool ok;
        std::int64_t fee;
        std::size_t outputs;
        std::uint64_t change;
        std::string error;
    } rows[] = {
        {1020, true, 20, 1, 0, ""},
        {1022, false, 23, 1, 0, "insufficient funds. Need 1023 sats, you have 1022 in your Cofferly wallet."},
        {1023, true, 23, 1, 0, ""},
        {1024, true, 23, 2, 1, ""},
        {1019, false, 20, 1, 0, "insufficient funds. Need 1020 sats, you have 1019 in your Cofferly wallet."},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.coin);
        std::vector<TxInput> coins = {candidate(1, row.coin, 5)};
        std::vector<TxOutput> outputs;
        std::int64_t fee = 0;
        std::string error;
        EXPECT_EQ(build_payment_tx(coins, outputs, change_hash, pay(1000), fee, error), row.ok);
        EXPECT_EQ(fee, row.fee);
        EXPECT_EQ(error, row.error);
        ASSERT_EQ(outputs.size(), row.outputs);
        if (row.outputs == 2) EXPECT_EQ(outputs[1].sats, row.change);
    }
}

TEST_F(CoinSelectTest, RefusalsAndForcedInputs) {
    const std::uint64_t max_signed = static_cast<std::uint64_t>(INT64_MAX);
    struct Row {
        std::vector<TxOutput> requested;
        std::string error;
    } rows[] = {
        {{}, "nothing to pay."},
        {{TxOutput{static_cast<std::uint64_t>(-1), p2pkh_script(Hash160{})}}, "invalid inscription output."},
        {{TxOutput{10, {}}}, "invalid inscription output."},
        {{TxOutput{max_signed, {0x51}}, TxOutput{2, {0x51}}}, "invalid inscription output."},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.error);
        std::vector<TxInput> coins = {candidate(1, 5000, 3)};
        std::vector<TxOutput> outputs;
        std::int64_t fee = 7;
        std::string error;
        EXPECT_FALSE(build_payment_tx(coins, outputs, change_hash, row.requested, fee, error));
        EXPECT_EQ(error, row.error);
        EXPECT_EQ(fee, 0);
        EXPECT_EQ(coins.size(), 1u);
    }

    // A forced input with a bad id refuses the build and leaves the candidates as they were.
    std::vector<TxInput> coins = {candidate(1, 100, 3), candidate(2, 100000, 3)};
    coins[0].txid.pop_back();
    std::vector<TxOutput> outputs;
    std::int64_t fee = 0;
    std::string error;
    EXPECT_FALSE(build_payment_tx(coins, outputs, change_hash, pay(1000), fee, error, 1));
    EXPECT_EQ(error, "could not include inscription input.");
    EXPECT_EQ(coins.size(), 2u);

    // Forced inputs come first even when the later coin alone would pay; a bad id later is passed over.
    coins = {candidate(1, 1, 0), candidate(2, 1, 0), candidate(3, 50, 3), candidate(4, 100000, 3)};
    coins[2].txid[0] = 'g';
    ASSERT_TRUE(build_payment_tx(coins, outputs, change_hash, pay(1000), fee, error, 2)) << error;
    ASSERT_EQ(coins.size(), 3u);
    EXPECT_EQ(coins[0].txid, txid_of(1));
    EXPECT_EQ(coins[2].txid, txid_of(4));
    EXPECT_EQ(outputs.back().sats, 100002u - 1000u - static_cast<std::uint64_t>(fee));
}

TEST_F(CoinSelectTest, OrdinalLookupRules) {
    const std::string a = kReceive0;
    const Utxo one{txid_of(1), 0, 1, 5};
    const Utxo two{txid_of(2), 1, 2, 5};
    auto check = [&](const char* label, bool one_at, bool two_at, bool one_any, bool two_any) {
        SCOPED_TRACE(label);
        EXPECT_EQ(is_ord_outpoint_at(a, one), one_at);
        EXPECT_EQ(is_ord_outpoint_at(a, two), two_at);
        EXPECT_EQ(is_ord_outpoint_any(one), one_any);
        EXPECT_EQ(is_ord_outpoint_any(two), two_any);
    };
    check("no look-up", true, false, false, false);

    store_ord_outpoints(a, {}, true);
    check("fresh and clean", false, false, false, false);

    store_ord_outpoints(a, {outpoint_key(upper(two.txid), 1)}, true);
    check("fresh, listing the 2-sat coin", false, true, false, true);

    clock.advance(kOrdSetFreshMs);
    check("stale", true, false, false, true);

    store_ord_outpoints("1Other", {}, false);
    check("failed elsewhere", true, false, true, false);
    store_ord_outpoints(a, {}, true);
    check("failure flag still fresh", true, false, true, false);
    EXPECT_EQ(ord_outpoint_sets().size(), 2u);

    clock.advance(kOrdSetFreshMs - 1);
    store_ord_outpoints(a, {}, false);
    clock.advance(1);
    check("failed here, flag fresh", true, false, true, false);
    clock.advance(kOrdSetFreshMs);
    check("all stale", true, false, false, false);
}

TEST_F(CoinSelectTest, HdWalletCollectsOnlyItsSpendingAddresses) {
    load_hd_wallet(0);
    cache_coins(kReceive0, {{txid_of(1), 0, 700, 10}, {txid_of(1), 0, 700, 10}, {txid_of(2), 3, 900, 0}});
    cache_coins(kIdentity, {{txid_of(3), 1, 800, 10}});
    cache_coins(kReceive1, {{txid_of(4), 0, 5000, 10}});  // beyond recv[1]
    cache_coins(kOrdinals0, {{txid_of(5), 0, 5000, 10}}); // the ordinals account
    cache_coins(kIdentity, {{txid_of(6), 0, 5000, 10}});  // a second, later entry
    address_coins().insert(address_coins().begin(), AddressCoins{kReceive0, {{txid_of(7), 0, 9000, 9}}, 0, false});

    std::vector<TxInput> inputs;
    std::uint64_t total = 0;
    std::string error;
    ASSERT_TRUE(collect_spendable_utxos(inputs, total, error));
    ASSERT_EQ(inputs.size(), 3u);
    EXPECT_EQ(total, 2400u);
    EXPECT_EQ(inputs[0].txid, txid_of(3));
    EXPECT_EQ(inputs[0].priv_hex, kIdentityPriv);
    EXPECT_EQ(inputs[0].hash160, hash_of(kIdentity));
    EXPECT_EQ(inputs[1].txid, txid_of(1));
    EXPECT_EQ(inputs[1].priv_hex, kReceive0Priv);
    EXPECT_EQ(inputs[2].txid, txid_of(2));
    EXPECT_EQ(inputs[2].height, 0);

    std::vector<std::string> addresses;
    list_wallet_addresses(addresses);
    EXPECT_EQ(addresses, (std::vector<std::string>{kReceive0, kIdentity}));
    kv_wallet().recv[1] = 1;
    list_wallet_addresses(addresses);
    EXPECT_EQ(addresses, (std::vector<std::string>{kReceive0, kReceive1, kIdentity}));

    reset_wallet_state_for_tests();
    kv_wallet().address = kReceive1;
    list_wallet_addresses(addresses);
    EXPECT_EQ(addresses, (std::vector<std::string>{kReceive1}));
}

TEST_F(CoinSelectTest, PromisedSpentAndAvoidedCoinsStayOut) {
    load_hd_wallet(0);
    std::vector<Utxo> coins;
    for (int i = 0; i < 9; ++i)
        coins.push_back({txid_of(i), 1, 1000 + i, 10});
    coins.push_back({upper(txid_of(9)), 1, 1009, 10});
    cache_coins(kReceive0, coins);

    mark_outpoint_spent(reverse_txid_hex(txid_of(0)), 1);
    test_write_file(bazarel_reserves_path(), json{{"reserves", {{{"utxo", upper(txid_of(1)) + ":1"}}}}}.dump());
    const std::int64_t now_s = clock.system_ms / 1000;
    test_write_file(gallery_reserves_path(),
                    json{{"reserves",
                          {{{"pic_utxo", txid_of(2) + "_1"}, {"cert_utxo", txid_of(3) + "_1"}, {"exp", now_s}},
                           {{"pic_utxo", txid_of(8) + "_1"}, {"exp", now_s - 1}}}}}
                        .dump());
    test_write_file(tradeloom_holds_path(), json{{"holds", {{{"utxo", txid_of(4) + "_1"}}}}}.dump());
    test_write_file(offer_locks_path(), json{{"utxos", {txid_of(5) + "_1", txid_of(0) + "_1"}}}.dump());

    const std::vector<std::string> avoid = {txid_of(6) + "_1", txid_of(9) + "_1"};
    EXPECT_EQ(collected_txids(&avoid), (std::vector<std::string>{txid_of(8), txid_of(7)}));
    // The spent coin's offer lock is pruned from the file; the live one stays.
    EXPECT_EQ(json::parse(test_read_file(offer_locks_path()))["utxos"], json({txid_of(5) + "_1"}));

    // A promise file that stays unreadable refuses the whole collection.
    test_write_file(tradeloom_holds_path(), "{\"holds\": [");
    std::vector<TxInput> inputs = {candidate(1, 1, 1)};
    std::uint64_t total = 9;
    std::string error;
    EXPECT_FALSE(collect_spendable_utxos(inputs, total, error));
    EXPECT_EQ(error, "a coin reservation file could not be read; try again.");
    EXPECT_TRUE(inputs.empty());
    EXPECT_EQ(total, 0u);
}

TEST_F(CoinSelectTest, ChangeCoinsAndOrdinalsAtTheCollection) {
    load_hd_wallet(0);
    const Hash160 receive = hash_of(kReceive0);
    // Also listed by the address cache, keyless, a 1-sat output, an ordinal, a key nobody holds.
    change_coins() = {
        {txid_of(1), 0, 4000, 0, kReceive0Priv, "02aa", receive},
        {txid_of(2), 0, 3000, 0, "", "", hash_of(kIdentity)},
        {txid_of(3), 0, 1, 0, kReceive0Priv, "02aa", receive},
        {txid_of(4), 2, 6000, 0, kReceive0Priv, "02aa", receive},
        {txid_of(5), 0, 2000, 0, "", "", Hash160{}},
    };
    cache_coins(kReceive0, {{reverse_txid_hex(txid_of(1)), 0, 4000, 10}, {txid_of(6), 0, 1, 10}});
    store_ord_outpoints(kReceive1, {outpoint_key(txid_of(4), 2)}, true);

    std::vector<TxInput> inputs;
    std::uint64_t total = 0;
    std::string error;
    ASSERT_TRUE(collect_spendable_utxos(inputs, total, error));
    ASSERT_EQ(inputs.size(), 2u) << inputs.back().txid;
    EXPECT_EQ(inputs[0].txid, txid_of(1));
    EXPECT_EQ(inputs[1].txid, txid_of(2));
    EXPECT_EQ(inputs[1].priv_hex, kIdentityPriv);
    EXPECT_EQ(total, 7000u);
    // Collected change coins leave the in-memory list; the rest stay.
    ASSERT_EQ(change_coins().size(), 3u);
    EXPECT_EQ(change_coins()[0].txid, txid_of(3));

    // With a fresh clean look-up the cached 1-sat coin is spendable; a 1-sat change coin never is.
    store_ord_outpoints(kReceive0, {}, true);
    EXPECT_EQ(collected_txids(), (std::vector<std::string>{reverse_txid_hex(txid_of(1)), txid_of(6)}));
}
