// A test against the fake chain: its own data folder, a fake clock and the chain services named by
// the settings, with the wallet, coin and broadcast state started afresh and cleared at the end.
#pragma once

#include "chain/tx.h"
#include "fakes/fake_chain.h"
#include "fakes/fake_clock.h"
#include "support/temp_dir.h"
#include "support/wallet_fixture.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

struct FakeChainTest : testing::Test {
    TempDataDir data_dir;
    FakeClock clock;
    FakeChain chain;
    ScopedServiceSettings settings{settings_for(chain)};

    FakeChainTest();
    ~FakeChainTest() override;
};

// Clears what a payment leaves behind: the wallet and coin state, the chain session (scan mark,
// displayed balance, last sent id), the WhatsOnChain and gallery caches and the last successful id.
void reset_chain_session_for_tests();

// Makes a refused connect drop the kept-alive platform connection, so a fake platform stops at
// once instead of waiting out its keep-alive time.
void drop_platform_session();

// A coin a test transaction spends: its outpoint, value, and its locking script when it is not the
// signing key's P2PKH.
struct TestCoin {
    std::string txid;
    std::uint32_t vout = 0;
    std::uint64_t sats = 0;
    Bytes script{};
};

// A raw transaction spending `coins`, signed by the product's signing code: input i by keys[i], or
// by the last key when there are fewer keys than coins.
Bytes test_spend(const std::vector<TestCoin>& coins, const std::vector<TestKey>& keys,
                 const std::vector<TxOutput>& outputs);
inline Bytes test_spend(const std::vector<TestCoin>& coins, const TestKey& key, const std::vector<TxOutput>& outputs) {
    return test_spend(coins, std::vector<TestKey>{key}, outputs);
}
