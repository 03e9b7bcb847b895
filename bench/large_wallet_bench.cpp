// A wallet of 20,000 or 100,000 receive addresses (the second argument), its newest one funded, whose addresses were
// all listed once in this data folder: the program starts afresh and its first action runs at WhatsOnChain's free rate
// as the shipped program paces itself, 20 ms added per request. Argument 0 is the Refresh the window runs (balance
// beside the art rows, then the gallery), 1 an artwork inscribed as the session's first step, 2 a certificate. Reports
// the action's wall time, its WhatsOnChain requests and the longest any other thread waited for the wallet mutex
// meanwhile.
#include "art/art_inscribe.h"
#include "art/gallery_frames.h"
#include "art/window_reads.h"
#include "bench/mutex_probe.h"
#include "chain/coin_state.h"
#include "fakes/chain_fixture.h"
#include "fakes/fake_gorillapool.h"
#include "identity/wallet_status.h"
#include "support/temp_dir.h"
#include "support/wallet_fixture.h"
#include "wallet/kv_cofferly_wallet.h"

#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <set>
#include <string>
#include <thread>

namespace {

constexpr int kDelayMs = 20;

double ms_since(std::chrono::steady_clock::time_point begin) {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - begin).count();
}

// The window's Refresh; the balance job's time is when the balance shows.
double window_refresh_balance_ms() {
    const auto begin = std::chrono::steady_clock::now();
    double balance_ms = 0;
    std::thread balance([&balance_ms, begin] {
        std::int64_t sats = 0;
        read_window_balance(sats);
        balance_ms = ms_since(begin);
    });
    std::vector<KvCofferlyOrdRow> rows;
    bool index_read = false;
    read_art_rows(rows, index_read);
    std::vector<SpotLoad> spots;
    std::set<std::string> closed;
    read_gallery(spots, closed);
    balance.join();
    return balance_ms;
}

// The program as it opens the wallet again: nothing remembered but what the data folder kept.
void restart() {
    reset_chain_session_for_tests();
    reset_wallet_status_refresh();
    gallery_cache_clear();
    load_wallet_id("bench");
}

void BM_LargeWalletFirstAction(benchmark::State& state) {
    const int action = static_cast<int>(state.range(0));
    const auto counter = static_cast<std::uint32_t>(state.range(1));
    TempDataDir data_dir;
    for (auto _ : state) {
        state.PauseTiming();
        FakeChain chain;
        FakeGorillaPool gp{chain.ledger};
        FakeFault slow;
        slow.delay_ms = kDelayMs;
        for (FakeServer* server : {&chain.woc, &chain.arc, &chain.platform, &gp.server})
            server->set_fault("", slow);
        set_service_settings(settings_for(chain, gp));
        write_test_wallet_file("bench", counter);
        restart();
        {
            WalletLock lock = lock_wallet();
            chain.ledger.fund(test_receive_key(counter).address, 5000000);
        }
        // The first listing of this data folder, then time enough for every listing to age.
        window_refresh_balance_ms();
        restart();
        limit_woc_to_free_rate(chain);
        chain.woc.reset_counts();
        MutexWaitProbe probe;
        probe.start();
        state.ResumeTiming();
        const auto begin = std::chrono::steady_clock::now();
        std::string result = "success";
        double balance_ms = 0;
        if (action == 0) {
            balance_ms = window_refresh_balance_ms();
        } else if (action == 1) {
            result = inscribe_artwork("image/png", Bytes{0x89, 'P', 'N', 'G', 1, 2, 3}, "Dawn");
        } else {
            result = inscribe_certificate_file("application/json", Bytes{'{', '}'}, "Dawn", "");
        }
        const double wall_ms = ms_since(begin);
        state.PauseTiming();
        const double waited_ms = probe.finish_ms();
        if (result.rfind("success", 0) != 0) state.SkipWithError(result.c_str());
        state.counters["wall_ms"] = wall_ms;
        if (action == 0) state.counters["balance_ms"] = balance_ms;
        state.counters["woc"] = chain.woc.request_count();
        state.counters["woc_refused"] = chain.woc.rate_limited_count();
        state.counters["mutex_wait_max_ms"] = waited_ms;
        drop_platform_session();
        state.ResumeTiming();
    }
}
BENCHMARK(BM_LargeWalletFirstAction)
    ->ArgNames({"action", "addresses"})
    ->ArgsProduct({{0, 1, 2}, {20000, 100000}})
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

} // namespace
