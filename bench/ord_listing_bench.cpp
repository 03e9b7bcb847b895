// The wallet's ordinal listing against the fake services with 20 or 80 ms added to every request:
// 50 or 1,000 artworks spread over the 20 ordinals addresses of an HD wallet, listed cold (empty
// content cache, nothing read before) and warm (the same listing again), by the listing alone and
// by the art list as the main window reads it (the listing, then the art kind and ownership of each
// row). Beside the wall time it reports that time over the path's longest chain of dependent
// requests (2 cold: an address listing, then the contents it names; 1 warm: the address listings
// alone), the requests each service answered, and how long the wallet mutex was held in all and at
// the longest stretch (sampled every millisecond from another thread).
#include "art/window_reads.h"
#include "chain/inscription.h"
#include "fakes/chain_fixture.h"
#include "fakes/fake_gorillapool.h"
#include "ordinals/ord_listing.h"
#include "wallet/crypto.h"
#include "wallet/keys.h"
#include "wallet/wallet_file.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>

namespace {

constexpr std::uint32_t kOrdinalsAddresses = 20;

struct ListingFigures {
    double wall_ms = 0;
    double mutex_held_ms = 0;
    double longest_hold_ms = 0;
    long woc = 0, gorillapool = 0, platform = 0, arc = 0, woc_refused = 0, gp_connections = 0;
};

void reset_counts(FakeChain& chain, FakeGorillaPool& gp) {
    for (FakeServer* server : {&chain.woc, &chain.arc, &chain.platform, &gp.server})
        server->reset_counts();
}

ListingFigures timed_listing(FakeChain& chain, FakeGorillaPool& gp, bool art_list, int artworks, std::string& result) {
    reset_counts(chain, gp);
    std::vector<KvCofferlyOrdRow> rows;
    std::atomic<bool> stop{false};
    long samples = 0, held = 0, stretch = 0, longest = 0;
    std::thread sampler([&] {
        while (!stop) {
            if (kv_wallet_mutex().try_lock()) {
                kv_wallet_mutex().unlock();
                stretch = 0;
            } else {
                ++held;
                longest = std::max(longest, ++stretch);
            }
            ++samples;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });
    const auto begin = std::chrono::steady_clock::now();
    bool index_read = false;
    result = art_list ? read_art_rows(rows, index_read) : kv_cofferly_list_ordinals(rows);
    const auto end = std::chrono::steady_clock::now();
    stop = true;
    sampler.join();
    ListingFigures f;
    f.wall_ms = std::chrono::duration<double, std::milli>(end - begin).count();
    const double ms_per_sample = samples ? f.wall_ms / static_cast<double>(samples) : 0;
    f.mutex_held_ms = ms_per_sample * static_cast<double>(held);
    f.longest_hold_ms = ms_per_sample * static_cast<double>(longest);
    f.woc = chain.woc.request_count();
    f.gorillapool = gp.server.request_count();
    f.platform = chain.platform.request_count();
    f.arc = chain.arc.request_count();
    f.woc_refused = chain.woc.rate_limited_count();
    f.gp_connections = gp.server.connection_count();
    if (result.empty() && rows.size() < static_cast<std::size_t>(artworks)) result = "error: artworks missing.";
    return f;
}

void report(benchmark::State& state, const ListingFigures& f, int chain_length, int delay_ms) {
    state.counters["wall_ms"] = f.wall_ms;
    state.counters["mutex_held_ms"] = f.mutex_held_ms;
    state.counters["longest_hold_ms"] = f.longest_hold_ms;
    state.counters["dependent_chain"] = chain_length;
    state.counters["times_chain"] = f.wall_ms / (chain_length * delay_ms);
    state.counters["woc_requests"] = static_cast<double>(f.woc);
    state.counters["gorillapool_requests"] = static_cast<double>(f.gorillapool);
    state.counters["platform_requests"] = static_cast<double>(f.platform);
    state.counters["arc_requests"] = static_cast<double>(f.arc);
    state.counters["woc_refused"] = static_cast<double>(f.woc_refused);
    state.counters["gp_connections"] = static_cast<double>(f.gp_connections);
}

// range(0): 0 for the cold listing, 1 for the warm one; range(1): the artworks; range(2): the delay
// in ms added to every request; range(3): 1 for the art list as the window reads it; range(4): 1
// for WhatsOnChain at its free rate with the shipped pace.
void BM_OrdListing(benchmark::State& state) {
    const bool warm = state.range(0) != 0;
    const int artworks = static_cast<int>(state.range(1));
    const int delay_ms = static_cast<int>(state.range(2));
    const bool art_list = state.range(3) != 0;
    ListingFigures figures;
    for (auto _ : state) {
        state.PauseTiming();
        auto data_dir = std::make_unique<TempDataDir>();
        auto chain = std::make_unique<FakeChain>();
        auto gp = std::make_unique<FakeGorillaPool>(chain->ledger);
        set_service_settings(settings_for(*chain, *gp));
        if (state.range(4) != 0) limit_woc_to_free_rate(*chain);
        reset_chain_session_for_tests();
        clear_token_outpoint_memory();
        write_test_wallet_file("bench");
        load_wallet_id("bench");
        std::vector<Hash160> owners;
        {
            WalletLock lock = lock_wallet();
            kv_wallet().recv[kOrdinalsAccount] = kOrdinalsAddresses - 1;
            save_wallet();
            for (std::uint32_t i = 0; i < kOrdinalsAddresses; ++i) {
                std::string priv, pub, address;
                derive_account_key(kOrdinalsAccount, i, priv, pub, address);
                wipe(priv);
                owners.push_back(test_hash_of(address));
            }
        }
        for (int n = 0; n < artworks; ++n) {
            const std::string body = "\x89PNG-artwork-" + std::to_string(n);
            const Bytes script = build_inscription_script(
                owners[static_cast<std::size_t>(n) % owners.size()], "image/png", Bytes(body.begin(), body.end()),
                build_name_metadata("Art " + std::to_string(n)), seal_art_tag("Artwork"));
            chain->ledger.fund_outputs({{script, 1}});
        }
        FakeFault slow;
        slow.delay_ms = delay_ms;
        for (FakeServer* server : {&chain->woc, &chain->arc, &chain->platform, &gp->server})
            server->set_fault("", slow);
        std::string result;
        if (warm) timed_listing(*chain, *gp, art_list, artworks, result);
        state.ResumeTiming();

        figures = timed_listing(*chain, *gp, art_list, artworks, result);

        state.PauseTiming();
        if (!result.empty()) state.SkipWithError(result.c_str());
        drop_platform_session();
        gp.reset();
        chain.reset();
        data_dir.reset();
        state.ResumeTiming();
    }
    report(state, figures, warm ? 1 : 2, delay_ms);
}
BENCHMARK(BM_OrdListing)
    ->ArgNames({"warm", "artworks", "delay_ms", "art_list", "free_rate"})
    ->ArgsProduct({{0, 1}, {50}, {20, 80}, {0, 1}, {0}})
    ->ArgsProduct({{0, 1}, {50}, {80}, {1}, {1}})
    ->Iterations(3)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(BM_OrdListing)
    ->ArgNames({"warm", "artworks", "delay_ms", "art_list", "free_rate"})
    ->ArgsProduct({{0, 1}, {1000}, {20, 80}, {0, 1}, {0}})
    ->ArgsProduct({{0, 1}, {1000}, {80}, {1}, {1}})
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

} // namespace
