// A Refresh of a fresh HD wallet (the balance status and the ordinal listing, as the Refresh
// button starts them) and a Connect of an already bound wallet followed by that Refresh, against
// the fake services with 20 ms added to every request. Reports the wall time of each part and the
// requests each service answered; with CORVANE_BENCH_PATHS set it also prints the requests per
// endpoint. A wallet of 1,000, 5,000 and 20,000 receive addresses, its newest one funded, is
// refreshed too, beside the time its addresses take to derive once.
#include "bench/bench_paths.h"
#include "fakes/chain_fixture.h"
#include "fakes/fake_gorillapool.h"
#include "identity/wallet_status.h"
#include "ordinals/ord_listing.h"
#include "support/temp_dir.h"
#include "support/wallet_fixture.h"
#include "wallet/connect.h"
#include "wallet/keys.h"
#include "wallet/kv_cofferly_wallet.h"
#include "wallet/registry.h"
#include "wallet/session.h"

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <regex>
#include <string>

namespace {

constexpr int kDelayMs = 20;

struct Services {
    FakeChain chain;
    FakeGorillaPool gp{chain.ledger};

    Services() {
        FakeFault slow;
        slow.delay_ms = kDelayMs;
        for (FakeServer* server : all())
            server->set_fault("", slow);
        set_service_settings(settings_for(chain, gp));
    }
    std::vector<FakeServer*> all() { return {&chain.woc, &chain.arc, &chain.platform, &gp.server}; }
    int total() {
        int n = 0;
        for (FakeServer* server : all())
            n += server->request_count();
        return n;
    }
};

void fresh_wallet(Services& services) {
    reset_chain_session_for_tests();
    write_test_wallet_file("bench");
    load_wallet_id("bench");
    WalletLock lock = lock_wallet();
    services.chain.ledger.fund(test_receive_key(0).address, 50000);
}

// The two halves of a Refresh, each timed: the balance status, then the ordinal listing.
struct RefreshTimes {
    double status_ms = 0;
    double listing_ms = 0;
};

RefreshTimes refresh_ms() {
    RefreshTimes times;
    auto begin = std::chrono::steady_clock::now();
    WalletStatus status;
    refresh_wallet_status(status);
    auto mid = std::chrono::steady_clock::now();
    std::vector<KvCofferlyOrdRow> rows;
    kv_cofferly_list_ordinals(rows);
    auto end = std::chrono::steady_clock::now();
    times.status_ms = std::chrono::duration<double, std::milli>(mid - begin).count();
    times.listing_ms = std::chrono::duration<double, std::milli>(end - mid).count();
    return times;
}

void report(benchmark::State& state, Services& services, double wall_ms, const RefreshTimes& times) {
    state.counters["wall_ms"] = wall_ms;
    state.counters["status_ms"] = times.status_ms;
    state.counters["listing_ms"] = times.listing_ms;
    state.counters["requests"] = services.total();
    state.counters["woc"] = services.chain.woc.request_count();
    state.counters["gorillapool"] = services.gp.server.request_count();
    state.counters["platform"] = services.chain.platform.request_count();
    state.counters["woc_connections"] = services.chain.woc.connection_count();
    print_paths("woc", services.chain.woc);
    print_paths("gp", services.gp.server);
    print_paths("platform", services.chain.platform);
}

void BM_RefreshFreshWallet(benchmark::State& state) {
    TempDataDir data_dir;
    double wall_ms = 0;
    for (auto _ : state) {
        state.PauseTiming();
        auto services = std::make_unique<Services>();
        fresh_wallet(*services);
        for (FakeServer* server : services->all())
            server->reset_counts();
        state.ResumeTiming();
        const RefreshTimes times = refresh_ms();
        wall_ms = times.status_ms + times.listing_ms;
        state.PauseTiming();
        report(state, *services, wall_ms, times);
        drop_platform_session();
        services.reset();
        state.ResumeTiming();
    }
}
BENCHMARK(BM_RefreshFreshWallet)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

// Connect with the wallet already bound (no approval round) and the Refresh that follows it.
void BM_ConnectThenRefresh(benchmark::State& state) {
    TempDataDir data_dir;
    double wall_ms = 0;
    for (auto _ : state) {
        state.PauseTiming();
        auto services = std::make_unique<Services>();
        fresh_wallet(*services);
        WalletBinding binding = wallet_binding();
        binding.app_name = "Corvane";
        binding.instance_key = data_dir.root + "/Corvane";
        binding.app_mode = true;
        set_wallet_binding(binding);
        for (FakeServer* server : services->all())
            server->reset_counts();
        state.ResumeTiming();
        const auto begin = std::chrono::steady_clock::now();
        const std::string result = connect_cofferly();
        const RefreshTimes times = refresh_ms();
        wall_ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - begin).count();
        state.PauseTiming();
        if (result != "success") state.SkipWithError(result.c_str());
        report(state, *services, wall_ms, times);
        drop_platform_session();
        services.reset();
        state.ResumeTiming();
    }
}
BENCHMARK(BM_ConnectThenRefresh)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

// A wallet whose receive counter is the argument, the coin on its newest address: the time to
// derive its addresses once (a session does it once, with the mutex released), then a Refresh.
void BM_RefreshLargeWallet(benchmark::State& state) {
    const auto counter = static_cast<std::uint32_t>(state.range(0));
    TempDataDir data_dir;
    double derive_ms = 0, wall_ms = 0;
    for (auto _ : state) {
        state.PauseTiming();
        auto services = std::make_unique<Services>();
        reset_chain_session_for_tests();
        // Each size gets the full Refresh a first one in a session is, ordinal sets included.
        reset_wallet_status_refresh();
        write_test_wallet_file("bench", counter);
        load_wallet_id("bench");
        for (FakeServer* server : services->all())
            server->reset_counts();
        state.ResumeTiming();
        const auto begin = std::chrono::steady_clock::now();
        {
            WalletLock lock = lock_wallet();
            warm_wallet_keys(lock);
            services->chain.ledger.fund(test_receive_key(counter).address, 50000);
        }
        derive_ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - begin).count();
        const RefreshTimes times = refresh_ms();
        wall_ms = times.status_ms + times.listing_ms;
        state.PauseTiming();
        report(state, *services, wall_ms, times);
        state.counters["derive_ms"] = derive_ms;
        drop_platform_session();
        services.reset();
        state.ResumeTiming();
    }
}
BENCHMARK(BM_RefreshLargeWallet)
    ->Arg(1000)
    ->Arg(5000)
    ->Arg(20000)
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

} // namespace
