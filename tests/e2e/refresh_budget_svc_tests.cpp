// What one Refresh, and a Connect followed by it, asks of WhatsOnChain for a fresh wallet, counted
// through the jobs the window runs for them.
#include "art/window_reads.h"
#include "fakes/chain_fixture.h"
#include "fakes/fake_gorillapool.h"
#include "support/wallet_fixture.h"
#include "wallet/connect.h"
#include "wallet/kv_cofferly_wallet.h"
#include "wallet/registry.h"
#include "wallet/session.h"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <thread>
#include <vector>

namespace {

struct RefreshBudgetTest : FakeChainTest {
    FakeGorillaPool gp{chain.ledger};
    ScopedServiceSettings with_gp{settings_for(chain, gp)};

    RefreshBudgetTest() {
        write_test_wallet_file("budget");
        load_wallet_id("budget");
        chain.ledger.fund(test_receive_key(0).address, 50000);
        limit_woc_to_free_rate(chain);
    }
    ~RefreshBudgetTest() override { drop_platform_session(); }

    // The Refresh button's jobs as the window runs them: the balance beside the art rows, then
    // the gallery once the rows are in.
    std::size_t refresh() {
        std::int64_t sats = 0;
        std::thread balance([&sats] { read_window_balance(sats); });
        std::vector<KvCofferlyOrdRow> rows;
        bool index_read = false;
        read_art_rows(rows, index_read);
        std::vector<SpotLoad> spots;
        std::set<std::string> closed;
        read_gallery(spots, closed);
        balance.join();
        EXPECT_EQ(spots.size(), 10u);
        return rows.size();
    }
};

} // namespace

TEST_F(RefreshBudgetTest, RefreshAndConnectStayWithinTheirWhatsOnChainBudget) {
    const std::string woc = kWocPrefix;
    chain.woc.reset_counts();
    refresh();
    EXPECT_LE(chain.woc.request_count(), 15);
    // Paced to the service's rate, on few connections.
    EXPECT_EQ(chain.woc.rate_limited_count(), 0);
    EXPECT_LE(chain.woc.connection_count(), 2);
    // Every watch address's history comes in one bulk request, not three each: one for the
    // wallet's addresses, one for the ten frames.
    EXPECT_EQ(chain.woc.request_count("POST", woc + "/addresses/history/all"), 2);
    for (const std::string& address : {test_receive_key(1).address, std::string(spot_row(3).watch)})
        EXPECT_EQ(chain.woc.request_count("GET", woc + "/address/" + address), 0) << address;

    reset_chain_session_for_tests();
    load_wallet_id("budget");
    WalletBinding binding = wallet_binding();
    binding.app_name = "Corvane";
    binding.instance_key = data_dir.root + "/Corvane";
    binding.app_mode = true;
    set_wallet_binding(binding);
    chain.woc.reset_counts();
    ASSERT_EQ(connect_cofferly(), "success");
    refresh();
    EXPECT_LE(chain.woc.request_count(), 25);
    EXPECT_EQ(chain.woc.rate_limited_count(), 0);
}
