// A test against the fake chain: its own data folder, a fake clock and the chain services named by
// the settings, with the wallet, coin and broadcast state started afresh and cleared at the end.
#pragma once

#include "fakes/fake_chain.h"
#include "fakes/fake_clock.h"
#include "support/temp_dir.h"
#include "support/wallet_fixture.h"

#include <gtest/gtest.h>

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
