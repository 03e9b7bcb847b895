#include "fakes/chain_fixture.h"

#include "art/gallery_frames.h"
#include "art/title_chain.h"
#include "chain/broadcast.h"
#include "chain/sign.h"
#include "chain/woc_client.h"
#include "wallet/session.h"

#include <algorithm>

FakeChainTest::FakeChainTest() {
    reset_chain_session_for_tests();
}

FakeChainTest::~FakeChainTest() {
    drop_platform_session();
    reset_chain_session_for_tests();
}

void reset_chain_session_for_tests() {
    WalletLock lock = lock_wallet();
    reset_wallet_state_for_tests();
    clear_chain_session_state();
    woc_cache_clear();
    gallery_cache_clear();
    title_memory_forget();
    last_success_txid().clear();
}

void drop_platform_session() {
    ServiceSettings s = service_settings();
    s.platform_base = s.woc_base = s.arc_base = "http://127.0.0.1:1";
    ScopedServiceSettings unreachable(s);
    TxInput in;
    in.txid = std::string(64, '0');
    broadcast_tx({in}, {TxOutput{1, {}}}, Hash160{});
}

Bytes test_spend(const std::vector<TestCoin>& coins, const std::vector<TestKey>& keys,
                 const std::vector<TxOutput>& outputs) {
    std::vector<TxInput> inputs;
    for (const TestCoin& c : coins) {
        TxInput in;
        in.txid = c.txid;
        in.vout = c.vout;
        in.sats = c.sats;
        in.prev_script = c.script;
        inputs.push_back(in);
    }
    for (std::size_t i = 0; i < inputs.size() && !keys.empty(); ++i) {
        const TestKey& key = keys[std::min(i, keys.size() - 1)];
        EXPECT_TRUE(sign_tx_input(inputs[i], inputs, outputs, key.hash, key.priv, key.pub));
    }
    return serialize_tx(inputs, outputs, false);
}
