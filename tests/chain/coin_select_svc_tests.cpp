#include "chain/coin_select.h"

#include "chain/broadcast.h"
#include "chain/coin_snapshots.h"
#include "fakes/fake_chain.h"
#include "fakes/fake_clock.h"
#include "support/temp_dir.h"
#include "support/wallet_reset.h"
#include "wallet/kv_cofferly_wallet.h"

#include <gtest/gtest.h>

namespace {

const char kMnemonic[] =
    "abandon abandon abandon abandon abandon abandon abandon abandon abandon abandon abandon about";
// m/44'/236'/1'/0/0 and the ordinals key m/44'/236'/5'/0/0 of the mnemonic (tests/data/wallet-paths.json).
const std::string kReceive0 = "18pBoqRpHUYf9udsab5G9LT3vQUPxEyMFf";
const std::string kOrdinals0 = "1Hyoxs2Lp5dKW95bFyKh2JCtwsuS8PqML8";

Bytes script_of(const std::string& address) {
    Hash160 h{};
    address_to_hash160(address, h);
    return p2pkh_script(h);
}

struct CoinSelectSvcTest : ::testing::Test {
    TempDataDir dir;
    FakeChain chain;
    ScopedServiceSettings settings{settings_for(chain)};

    void SetUp() override {
        reset_wallet_state_for_tests();
        last_sent_txid().clear();
        last_success_txid().clear();
        KvCofferlyWallet& w = kv_wallet();
        w.wallet_id = "w1";
        w.is_hd = true;
        w.mnemonic = kMnemonic;
    }
    void TearDown() override {
        last_sent_txid().clear();
        last_success_txid().clear();
        reset_wallet_state_for_tests();
    }
};

} // namespace

// With no coin listed anywhere, the outputs of the last sent (else the last successful) transaction
// are learned and spent; the 1-sat output it left at the ordinals address is not.
TEST_F(CoinSelectSvcTest, EmptyCollectionLearnsTheLastTransaction) {
    const std::string paid =
        chain.ledger.fund_outputs({{script_of(kOrdinals0), 1}, {script_of(kReceive0), 3000}}, false);
    ASSERT_FALSE(paid.empty());
    struct Row {
        const char* label;
        std::string sent;
        std::string success;
        std::size_t found;
    } rows[] = {
        {"last sent", paid, "", 1},
        {"last success after an unknown last sent", std::string(64, 'e'), paid, 1},
        {"nothing to learn", "", "", 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.label);
        change_coins().clear();
        last_sent_txid() = row.sent;
        last_success_txid() = row.success;
        std::vector<TxInput> inputs;
        std::uint64_t total = 0;
        std::string error;
        EXPECT_EQ(collect_spendable_utxos(inputs, total, error), row.found > 0);
        ASSERT_EQ(inputs.size(), row.found);
        if (row.found) {
            EXPECT_EQ(inputs[0].txid, paid);
            EXPECT_EQ(inputs[0].vout, 1u);
            EXPECT_EQ(total, 3000u);
        }
    }
}
