// A Refresh of a fresh HD wallet as the window runs it (the balance job beside the art-row job,
// then the gallery job once the rows are in) and a Connect of an already bound wallet followed by
// that Refresh, against the fake services with 20 or 80 ms added to every request (the first
// argument), with WhatsOnChain unlimited or, when the second argument is 1, refusing past its free
// rate of three requests a second while the program paces itself.
// Reports the wall time of each job, the whole against the longest chain of dependent requests,
// the requests and connections of each service and the requests it refused; with
// CORVANE_BENCH_PATHS set it also prints the requests per endpoint. A wallet of 1,000, 5,000 and 20,000 receive
// addresses, its newest one funded, is refreshed too at 20 ms, beside the time its addresses take to derive once
// and the longest any other thread waited for the wallet mutex meanwhile.
#include "art/gallery_frames.h"
#include "art/title_chain.h"
#include "art/window_reads.h"
#include "bench/bench_paths.h"
#include "bench/mutex_probe.h"
#include "chain/coin_state.h"
#include "chain/woc_client.h"
#include "fakes/chain_fixture.h"
#include "fakes/fake_gorillapool.h"
#include "fakes/fake_oracle.h"
#include "fakes/registry_fixture.h"
#include "fakes/secp_check.h"
#include "identity/wallet_status.h"
#include "support/temp_dir.h"
#include "support/wallet_fixture.h"
#include "wallet/connect.h"
#include "wallet/keys.h"
#include "wallet/kv_cofferly_wallet.h"
#include "wallet/registry.h"
#include "wallet/session.h"

#include <benchmark/benchmark.h>

#include <time.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <set>
#include <string>
#include <thread>

namespace {

// The longest chain of dependent requests of a fresh wallet's Refresh is the balance job's: the two
// pages of the balance scan, the unspent listings of the addresses that hold coins, then a
// transaction of theirs. The art rows' listings and then the gallery's frame listings, three
// rounds, run beside it. Connecting a wallet that is already bound asks no service.
constexpr int kRefreshChain = 4;
constexpr int kConnectChain = kRefreshChain;

struct Services {
    FakeChain chain;
    FakeGorillaPool gp{chain.ledger};

    explicit Services(int delay_ms, bool free_rate = false) {
        FakeFault slow;
        slow.delay_ms = delay_ms;
        for (FakeServer* server : all())
            server->set_fault("", slow);
        set_service_settings(settings_for(chain, gp));
        if (free_rate) limit_woc_to_free_rate(chain);
    }
    std::vector<FakeServer*> all() { return {&chain.woc, &chain.arc, &chain.platform, &gp.server}; }
    int total() {
        int n = 0;
        for (FakeServer* server : all())
            n += server->request_count();
        return n;
    }
};

// Each run is the first Refresh of a process: no status run throttles its coin refresh.
void fresh_wallet(Services& services) {
    reset_chain_session_for_tests();
    reset_wallet_status_refresh();
    write_test_wallet_file("bench");
    load_wallet_id("bench");
    WalletLock lock = lock_wallet();
    services.chain.ledger.fund(test_receive_key(0).address, 50000);
}

double process_cpu_ms() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) * 1e3 + static_cast<double>(t.tv_nsec) / 1e6;
}

double ms_since(std::chrono::steady_clock::time_point begin) {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - begin).count();
}

// The three jobs of a Refresh, each timed from the click.
struct RefreshTimes {
    double balance_ms = 0;
    double rows_ms = 0;
    double gallery_ms = 0;
};

RefreshTimes window_refresh() {
    RefreshTimes times;
    const auto begin = std::chrono::steady_clock::now();
    std::thread balance([&times, begin] {
        std::int64_t sats = 0;
        read_window_balance(sats);
        times.balance_ms = ms_since(begin);
    });
    std::vector<KvCofferlyOrdRow> rows;
    bool index_read = false;
    read_art_rows(rows, index_read);
    times.rows_ms = ms_since(begin);
    std::vector<SpotLoad> spots;
    std::set<std::string> closed;
    read_gallery(spots, closed);
    times.gallery_ms = ms_since(begin);
    balance.join();
    return times;
}

// `chain` 0 reports no dependent chain.
void report(benchmark::State& state, Services& services, int delay_ms, double wall_ms, int chain,
            const RefreshTimes& times) {
    state.counters["wall_ms"] = wall_ms;
    if (chain > 0) {
        const double chain_ms = static_cast<double>(chain * delay_ms);
        state.counters["chain_ms"] = chain_ms;
        state.counters["times_chain"] = wall_ms / chain_ms;
    }
    state.counters["balance_ms"] = times.balance_ms;
    state.counters["rows_ms"] = times.rows_ms;
    state.counters["gallery_ms"] = times.gallery_ms;
    state.counters["requests"] = services.total();
    state.counters["woc"] = services.chain.woc.request_count();
    state.counters["gorillapool"] = services.gp.server.request_count();
    state.counters["platform"] = services.chain.platform.request_count();
    state.counters["arc"] = services.chain.arc.request_count();
    state.counters["woc_connections"] = services.chain.woc.connection_count();
    state.counters["woc_refused"] = services.chain.woc.rate_limited_count();
    state.counters["gp_connections"] = services.gp.server.connection_count();
    state.counters["platform_connections"] = services.chain.platform.connection_count();
    print_paths("woc", services.chain.woc);
    print_paths("gp", services.gp.server);
    print_paths("platform", services.chain.platform);
}

// Each Refresh benchmark runs at 20 and 80 ms added per request, without and with WhatsOnChain's
// free rate (the second argument).
void delays_with_and_without_the_free_rate(benchmark::internal::Benchmark* bench) {
    for (const int delay_ms : {20, 80})
        for (const int limited : {0, 1})
            bench->Args({delay_ms, limited});
    bench->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();
}

void BM_RefreshFreshWallet(benchmark::State& state) {
    TempDataDir data_dir;
    double wall_ms = 0;
    for (auto _ : state) {
        state.PauseTiming();
        auto services = std::make_unique<Services>(static_cast<int>(state.range(0)), state.range(1) != 0);
        gallery_cache_clear();
        fresh_wallet(*services);
        for (FakeServer* server : services->all())
            server->reset_counts();
        state.ResumeTiming();
        const RefreshTimes times = window_refresh();
        wall_ms = std::max(times.balance_ms, times.gallery_ms);
        state.PauseTiming();
        report(state, *services, static_cast<int>(state.range(0)), wall_ms, kRefreshChain, times);
        drop_platform_session();
        services.reset();
        state.ResumeTiming();
    }
}
BENCHMARK(BM_RefreshFreshWallet)->Apply(delays_with_and_without_the_free_rate);

// Connect with the wallet already bound (no approval round) and the Refresh that follows it.
void BM_ConnectThenRefresh(benchmark::State& state) {
    TempDataDir data_dir;
    double wall_ms = 0;
    for (auto _ : state) {
        state.PauseTiming();
        auto services = std::make_unique<Services>(static_cast<int>(state.range(0)), state.range(1) != 0);
        gallery_cache_clear();
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
        const RefreshTimes times = window_refresh();
        wall_ms = ms_since(begin);
        state.PauseTiming();
        if (result != "success") state.SkipWithError(result.c_str());
        report(state, *services, static_cast<int>(state.range(0)), wall_ms, kConnectChain, times);
        drop_platform_session();
        services.reset();
        state.ResumeTiming();
    }
}
BENCHMARK(BM_ConnectThenRefresh)->Apply(delays_with_and_without_the_free_rate);

// A fresh wallet's first Refresh as the window runs it, at WhatsOnChain's free rate as the shipped
// program paces itself and 20 ms added per request, with a gallery of 100 hangings: each frame hung
// ten times by alice, each time with another artwork she paired. With the argument 0 each frame's
// newest hanging shows; with 1 only its first does (the later ones name another certificate), so
// every hanging's title is read. With the second argument 1 the ninety hangings after the first
// ten are a stranger's, of her artworks, naming their coins: none counts. The floor is what
// WhatsOnChain's requests alone take at its free rate, (requests - 2) / 3 s; `times_floor` the
// Refresh against it. `later_woc` and `later_ms`: the Refresh after it in the same process;
// `restart_woc` and `restart_ms`: the Refresh after that once the process starts afresh.
void BM_RefreshHundredHangings(benchmark::State& state) {
    constexpr int kDelayMs = 20;
    const bool first_counts = state.range(0) == 1;
    const bool stranger = state.range(1) == 1;
    TempDataDir data_dir;
    for (auto _ : state) {
        state.PauseTiming();
        auto services = std::make_unique<Services>(kDelayMs);
        FakeChain& chain = services->chain;
        const TestKey alice = test_key_from_byte(0x11);
        for (std::int32_t i = 0; i < 100; ++i) {
            const std::int32_t spot = 1 + i % kSpotCount;
            const std::string name = "Dawn " + std::to_string(i);
            const std::string cert =
                fake_inscribe(chain, alice.hash, "application/json", R"({"title":")" + name + R"("})");
            const std::string art = fake_inscribe(chain, alice.hash, "image/png", "png-bytes " + name);
            const nlohmann::json pair = {
                {"pic", art}, {"cert", cert}, {"sha256", std::string(64, 'e')}, {"owner", alice.pub}};
            fake_pair_tx(chain, alice, fake_signed_record(fake_art_record("art_pair", "alice", 50, pair), 0x11));
            chain.ledger.mine(); // she hangs it once paired
            const std::uint8_t signer = stranger && i >= kSpotCount ? 0x77 : 0x11;
            nlohmann::json show =
                fake_art_record("art_show", signer == 0x11 ? "alice" : "stranger", 100 + i,
                                {{"spot", spot_label(spot)},
                                 {"pic", art},
                                 {"cert", first_counts && i >= kSpotCount ? std::string(64, 'c') : cert},
                                 {"sha256", std::string(64, 'e')},
                                 {"price", "1000"},
                                 {"pay_addr", "1Pay"}});
            fake_post_record(chain, spot_row(spot).watch, fake_signed_record(show, signer));
            chain.ledger.mine();
        }
        title_memory_forget();
        gallery_cache_clear();
        limit_woc_to_free_rate(chain);
        fresh_wallet(*services);
        for (FakeServer* server : services->all())
            server->reset_counts();
        const double cpu_begin = process_cpu_ms();
        state.ResumeTiming();
        const RefreshTimes times = window_refresh();
        const double wall_ms = std::max(times.balance_ms, times.gallery_ms);
        state.PauseTiming();
        report(state, *services, kDelayMs, wall_ms, 0, times);
        const double floor_ms = (chain.woc.request_count() - 2) * 1000.0 / 3.0;
        state.counters["floor_ms"] = floor_ms;
        state.counters["times_floor"] = wall_ms / floor_ms;
        double cpu_ms = process_cpu_ms() - cpu_begin;
        for (FakeServer* server : services->all())
            cpu_ms -= server->handler_cpu_ms();
        state.counters["cpu_ms"] = cpu_ms;
        chain.woc.reset_counts();
        const RefreshTimes later = window_refresh();
        state.counters["later_woc"] = chain.woc.request_count();
        state.counters["later_ms"] = std::max(later.balance_ms, later.gallery_ms);
        // A restart: what the process remembered goes, what the data folder kept stays.
        title_memory_forget();
        woc_cache_clear();
        gallery_cache_clear();
        chain.woc.reset_counts();
        const RefreshTimes restarted = window_refresh();
        state.counters["restart_woc"] = chain.woc.request_count();
        state.counters["restart_ms"] = std::max(restarted.balance_ms, restarted.gallery_ms);
        drop_platform_session();
        services.reset();
        state.ResumeTiming();
    }
}
BENCHMARK(BM_RefreshHundredHangings)
    ->ArgNames({"first_counts", "stranger"})
    ->Args({0, 0})
    ->Args({1, 0})
    ->Args({0, 1})
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// A wallet whose receive counter is the argument, the coin on its newest address: the time to
// derive its addresses once (a session does it once, with the mutex released), then a Refresh.
void BM_RefreshLargeWallet(benchmark::State& state) {
    constexpr int kDelayMs = 20;
    const auto counter = static_cast<std::uint32_t>(state.range(0));
    TempDataDir data_dir;
    double derive_ms = 0, wall_ms = 0;
    for (auto _ : state) {
        state.PauseTiming();
        auto services = std::make_unique<Services>(kDelayMs);
        gallery_cache_clear();
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
        derive_ms = ms_since(begin);
        MutexWaitProbe probe;
        probe.start();
        const RefreshTimes times = window_refresh();
        const double mutex_wait_ms = probe.finish_ms();
        wall_ms = std::max(times.balance_ms, times.gallery_ms);
        state.PauseTiming();
        report(state, *services, kDelayMs, wall_ms, 0, times);
        state.counters["derive_ms"] = derive_ms;
        state.counters["mutex_wait_max_ms"] = mutex_wait_ms;
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

// The longest any other thread waits for the wallet mutex while a wallet of 20,000 receive addresses
// refreshes as the window runs it: argument 0 is the first Refresh of a session (no key derived yet,
// as just after the program opened the wallet), 1 a later Refresh of the same session, once every
// address's listing has aged.
void BM_RefreshMutexWait(benchmark::State& state) {
    constexpr int kDelayMs = 20;
    constexpr std::uint32_t kCounter = 20000;
    const bool later = state.range(0) != 0;
    TempDataDir data_dir;
    double wall_ms = 0;
    for (auto _ : state) {
        state.PauseTiming();
        auto services = std::make_unique<Services>(kDelayMs);
        gallery_cache_clear();
        reset_chain_session_for_tests();
        reset_wallet_status_refresh();
        write_test_wallet_file("bench", kCounter);
        load_wallet_id("bench");
        services->chain.ledger.fund(test_receive_key(kCounter).address, 50000);
        {
            // Loaded afresh, so that no key but those a load derives is known yet.
            WalletLock lock = lock_wallet();
            kv_wallet().address.clear();
            load_wallet_id("bench");
        }
        if (later) {
            window_refresh();
            // As a Refresh some minutes later meets it: every address's listing has aged.
            reset_wallet_status_refresh();
            WalletLock lock = lock_wallet();
            expire_address_coins();
        }
        for (FakeServer* server : services->all())
            server->reset_counts();
        state.ResumeTiming();
        MutexWaitProbe probe;
        probe.start();
        const RefreshTimes times = window_refresh();
        const double mutex_wait_ms = probe.finish_ms();
        wall_ms = std::max(times.balance_ms, times.gallery_ms);
        state.PauseTiming();
        report(state, *services, kDelayMs, wall_ms, 0, times);
        state.counters["probe_max_wait_ms"] = mutex_wait_ms;
        drop_platform_session();
        services.reset();
        state.ResumeTiming();
    }
}
BENCHMARK(BM_RefreshMutexWait)->Arg(0)->Arg(1)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

} // namespace
