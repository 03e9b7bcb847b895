// The balance scan of the receive addresses past the counter: 20 to a request, a short run each
// time, going on from its mark, raising the counter to the highest address that holds coins.
#include "chain/coin_refresh.h"

#include "fakes/chain_fixture.h"
#include "support/temp_dir.h"
#include "support/wallet_fixture.h"
#include "wallet/kv_cofferly_wallet.h"
#include "wallet/registry.h"
#include "wallet/session.h"
#include "wallet/wallet_file.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <string>
#include <vector>

using nlohmann::json;

namespace {

struct BalanceScanTest : FakeChainTest {
    void load_hd(std::uint32_t receive_counter) {
        write_test_wallet_file("w1", receive_counter);
        ASSERT_TRUE(load_wallet_id("w1"));
    }
    std::string receive(std::uint32_t index) { return test_receive_key(index).address; }
};

} // namespace

TEST_F(BalanceScanTest, BalanceScanRaisesTheReceiveCounter) {
    load_hd(5);
    chain.ledger.fund(receive(30), 1, false);
    scan_hd_balances();

    const std::string balance_path = std::string(kWocPrefix) + "/addresses/balance";
    std::vector<std::string> asked;
    for (const FakeRequest& req : chain.woc.requests()) {
        if (req.path != balance_path) continue;
        const json body = json::parse(req.body);
        EXPECT_EQ(body["addresses"].size(), 20u);
        for (const json& a : body["addresses"])
            asked.push_back(a.get<std::string>());
    }
    // Two requests in a row without coins (46 to 85) end this scan; the next goes on from 86.
    ASSERT_EQ(asked.size(), 80u);
    EXPECT_EQ(asked.front(), receive(6));
    EXPECT_EQ(asked.back(), receive(85));
    EXPECT_EQ(receive_scan_mark(), 86u);
    {
        WalletLock lock = lock_wallet();
        EXPECT_EQ(kv_wallet().recv[1], 30u);
    }
    const json saved = json::parse(test_read_file(wallet_file_path_for_id("w1")));
    EXPECT_EQ(saved["recv"][1], 30);

    // The next scan starts at the mark; its window ends 400 above the new counter.
    chain.woc.reset_counts();
    scan_hd_balances();
    EXPECT_EQ(chain.woc.request_count(balance_path), 2);
    EXPECT_EQ(receive_scan_mark(), 126u);
}

// A run of unused addresses ends the scan early; a failed request leaves the mark after the last
// answered batch, so the next scan asks again from there.
TEST_F(BalanceScanTest, BalanceScanStopsAfterTwoEmptyRequests) {
    struct Row {
        const char* name;
        int funded; // receive index funded, -1 none
        bool fail_third;
        int requests;
        std::uint32_t counter, mark;
    } rows[] = {
        {"fresh wallet", -1, false, 2, 0, 41},
        {"coins at 35", 35, false, 4, 35, 81},
        {"third request fails", 35, true, 3, 35, 41},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        reset_chain_session_for_tests();
        load_hd(0);
        if (row.funded >= 0) chain.ledger.fund(receive(static_cast<std::uint32_t>(row.funded)), 500);
        chain.woc.reset_counts();
        chain.woc.clear_faults();
        if (row.fail_third) {
            FakeFault pass;
            pass.times = 2;
            pass.delay_ms = 0;
            chain.woc.set_fault(std::string(kWocPrefix) + "/addresses/", FakeFault{500});
            // The first two requests pass: a fault of status 0 answers normally.
            chain.woc.set_fault(std::string(kWocPrefix) + "/addresses/balance", pass);
        }
        scan_hd_balances();
        EXPECT_EQ(chain.woc.request_count("POST", std::string(kWocPrefix) + "/addresses/balance"), row.requests);
        EXPECT_EQ(receive_scan_mark(), row.mark);
        WalletLock lock = lock_wallet();
        EXPECT_EQ(kv_wallet().recv[1], row.counter);
    }
}

// A short scan never gives up on the rest of the window: later scans go on from the mark, so coins
// far above the counter are still found, two requests at a time.
TEST_F(BalanceScanTest, BalanceScansGoOnWhereTheLastOneStopped) {
    load_hd(0);
    chain.ledger.fund(receive(150), 500);
    int scans = 0;
    for (; scans < 12; ++scans) {
        chain.woc.reset_counts();
        scan_hd_balances();
        EXPECT_LE(chain.woc.request_count("POST", std::string(kWocPrefix) + "/addresses/balance"), 4);
        WalletLock lock = lock_wallet();
        if (kv_wallet().recv[1] == 150) break;
    }
    EXPECT_LT(scans, 12) << "the coins at 150 were never found";
}
