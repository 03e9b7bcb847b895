#include "fakes/chain_fixture.h"

#include "art/gallery_frames.h"
#include "chain/broadcast.h"
#include "chain/woc_client.h"
#include "wallet/session.h"

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
