// The wallet's ordinal listing against the fake services with 20 ms added to every request: 50
// artworks spread over the 20 ordinals addresses of an HD wallet, listed cold (empty content cache,
// nothing read before) and warm (the same listing again). Beside the wall time it reports that time
// over the listing's longest chain of dependent requests (2 cold: an address listing, then the
// contents it names; 1 warm: the address listings alone), the requests each service answered, and
// how long the wallet mutex was held (sampled every millisecond from another thread).
#include "chain/inscription.h"
#include "fakes/chain_fixture.h"
#include "fakes/fake_gorillapool.h"
#include "ordinals/ord_listing.h"
#include "wallet/crypto.h"
#include "wallet/keys.h"
#include "wallet/wallet_file.h"

#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>

namespace {

constexpr int kDelayMs = 20;
constexpr std::uint32_t kOrdinalsAddresses = 20;
constexpr int kArtworks = 50;

struct ListingFigures {
    double wall_ms = 0;
    double mutex_held_ms = 0;
    long woc = 0, gorillapool = 0, platform = 0, arc = 0;
};

void reset_counts(FakeChain& chain, FakeGorillaPool& gp) {
    for (FakeServer* server : {&chain.woc, &chain.arc, &chain.platform, &gp.server})
        server->reset_counts();
}

ListingFigures timed_listing(FakeChain& chain, FakeGorillaPool& gp, std::string& result) {
    reset_counts(chain, gp);
    std::vector<KvCofferlyOrdRow> rows;
    std::atomic<bool> stop{false};
    long samples = 0, held = 0;
    std::thread sampler([&] {
        while (!stop) {
            if (kv_wallet_mutex().try_lock()) {
                kv_wallet_mutex().unlock();
            } else {
                ++held;
            }
            ++samples;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });
    const auto begin = std::chrono::steady_clock::now();
    result = kv_cofferly_list_ordinals(rows);
    const auto end = std::chrono::steady_clock::now();
    stop = true;
    sampler.join();
    ListingFigures f;
    f.wall_ms = std::chrono::duration<double, std::milli>(end - begin).count();
    f.mutex_held_ms = samples ? f.wall_ms * static_cast<double>(held) / static_cast<double>(samples) : 0;
    f.woc = chain.woc.request_count();
    f.gorillapool = gp.server.request_count();
    f.platform = chain.platform.request_count();
    f.arc = chain.arc.request_count();
    if (result.empty() && rows.size() < static_cast<std::size_t>(kArtworks)) result = "error: artworks missing.";
    return f;
}

void report(benchmark::State& state, const ListingFigures& f, int chain_length) {
    state.counters["wall_ms"] = f.wall_ms;
    state.counters["mutex_held_ms"] = f.mutex_held_ms;
    state.counters["dependent_chain"] = chain_length;
    state.counters["times_chain"] = f.wall_ms / (chain_length * kDelayMs);
    state.counters["woc_requests"] = static_cast<double>(f.woc);
    state.counters["gorillapool_requests"] = static_cast<double>(f.gorillapool);
    state.counters["platform_requests"] = static_cast<double>(f.platform);
    state.counters["arc_requests"] = static_cast<double>(f.arc);
}

// range(0): 0 for the cold listing, 1 for the warm one.
void BM_OrdListing(benchmark::State& state) {
    const bool warm = state.range(0) != 0;
    ListingFigures figures;
    for (auto _ : state) {
        state.PauseTiming();
        auto data_dir = std::make_unique<TempDataDir>();
        auto chain = std::make_unique<FakeChain>();
        auto gp = std::make_unique<FakeGorillaPool>(chain->ledger);
        set_service_settings(settings_for(*chain, *gp));
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
        for (int n = 0; n < kArtworks; ++n) {
            const std::string body = "\x89PNG-artwork-" + std::to_string(n);
            const Bytes script = build_inscription_script(
                owners[static_cast<std::size_t>(n) % owners.size()], "image/png", Bytes(body.begin(), body.end()),
                build_name_metadata("Art " + std::to_string(n)), seal_art_tag("Artwork"));
            chain->ledger.fund_outputs({{script, 1}});
        }
        FakeFault slow;
        slow.delay_ms = kDelayMs;
        for (FakeServer* server : {&chain->woc, &chain->arc, &chain->platform, &gp->server})
            server->set_fault("", slow);
        std::string result;
        if (warm) timed_listing(*chain, *gp, result);
        state.ResumeTiming();

        figures = timed_listing(*chain, *gp, result);

        state.PauseTiming();
        if (!result.empty()) state.SkipWithError(result.c_str());
        drop_platform_session();
        gp.reset();
        chain.reset();
        data_dir.reset();
        state.ResumeTiming();
    }
    report(state, figures, warm ? 1 : 2);
}
BENCHMARK(BM_OrdListing)->Arg(0)->Arg(1)->Iterations(3)->Unit(benchmark::kMillisecond)->UseRealTime();

} // namespace
