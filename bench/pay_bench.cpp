// One payment through pay_with_retry against the fake chain with 20 ms added to every request, for
// HD wallets of 5 to 20,000 receive addresses with a few of them funded. Beside the wall time it
// reports how long the wallet mutex was held (sampled every millisecond from another thread), the
// requests each service answered, and the largest thread count of the process during the payment
// next to the count before it (the fake services' own threads make up the baseline).
#include "chain/pay.h"
#include "fakes/chain_fixture.h"

#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <memory>
#include <string>
#include <thread>

namespace {

constexpr int kDelayMs = 20;

// "Threads:" of /proc/self/status; 0 where there is none.
int thread_count() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.compare(0, 8, "Threads:") == 0) return std::atoi(line.c_str() + 8);
    }
    return 0;
}

// Watches the process while a payment runs: the peak thread count and how many 1 ms samples found
// the wallet mutex taken.
struct Sampler {
    std::atomic<bool> stop{false};
    std::atomic<int> peak_threads{0};
    std::atomic<long> samples{0};
    std::atomic<long> held{0};
    std::thread thread;

    void start() {
        thread = std::thread([this] {
            while (!stop) {
                const int n = thread_count();
                if (n > peak_threads) peak_threads = n;
                if (kv_wallet_mutex().try_lock()) {
                    kv_wallet_mutex().unlock();
                } else {
                    ++held;
                }
                ++samples;
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
        });
    }
    void finish() {
        stop = true;
        thread.join();
    }
};

void BM_PayWithRetry(benchmark::State& state) {
    const auto last_receive = static_cast<std::uint32_t>(state.range(0));
    TempDataDir data_dir;
    double wall_ms = 0, held_ms = 0;
    long requests = 0, listings = 0, lookups = 0, broadcasts = 0;
    int peak = 0, baseline = 0;
    bool failed = false;
    for (auto _ : state) {
        state.PauseTiming();
        auto chain = std::make_unique<FakeChain>();
        FakeFault slow;
        slow.delay_ms = kDelayMs;
        for (FakeServer* server : {&chain->woc, &chain->arc, &chain->platform})
            server->set_fault("", slow);
        set_service_settings(settings_for(*chain));
        reset_chain_session_for_tests();
        use_test_hd_wallet("pay bench " + std::to_string(last_receive), {0, last_receive, 0, 0, 0, 0});
        // A few funded addresses, spread over the receive chain.
        for (std::uint32_t i : {0u, last_receive / 2, last_receive}) {
            WalletLock lock = lock_wallet();
            chain->ledger.fund(test_receive_key(i).address, 20000);
        }
        Hash160 bob{};
        bob.fill(0x42);
        baseline = thread_count();
        Sampler sampler;
        sampler.start();
        state.ResumeTiming();

        const auto begin = std::chrono::steady_clock::now();
        std::string result;
        {
            WalletLock lock = lock_wallet();
            result = pay_with_retry(lock, {TxOutput{30000, p2pkh_script(bob)}});
        }
        const auto end = std::chrono::steady_clock::now();

        state.PauseTiming();
        sampler.finish();
        failed |= result.compare(0, 8, "success:") != 0;
        if (failed) state.SkipWithError(result.c_str());
        wall_ms = std::chrono::duration<double, std::milli>(end - begin).count();
        held_ms =
            sampler.samples ? wall_ms * static_cast<double>(sampler.held) / static_cast<double>(sampler.samples) : 0;
        peak = sampler.peak_threads;
        const std::string woc = kWocPrefix;
        listings = chain->woc.request_count(woc + "/address/");
        lookups = chain->woc.request_count(woc + "/tx/") - chain->woc.request_count(woc + "/tx/raw");
        broadcasts =
            chain->woc.request_count(woc + "/tx/raw") + chain->arc.request_count() + chain->platform.request_count();
        requests = chain->woc.request_count() + chain->arc.request_count() + chain->platform.request_count();
        drop_platform_session();
        chain.reset();
        state.ResumeTiming();
    }
    state.counters["wall_ms"] = wall_ms;
    state.counters["mutex_held_ms"] = held_ms;
    state.counters["requests"] = static_cast<double>(requests);
    state.counters["listing_requests"] = static_cast<double>(listings);
    state.counters["tx_lookups"] = static_cast<double>(lookups);
    state.counters["broadcast_requests"] = static_cast<double>(broadcasts);
    state.counters["threads_before"] = baseline;
    state.counters["threads_peak"] = peak;
}
// Receive indexes 0..4 and 0..99, each beside the identity address; then wallets of 1,000, 5,000
// and 20,000 receive addresses, each paying once, its addresses derived within the payment.
BENCHMARK(BM_PayWithRetry)->Arg(4)->Arg(99)->Iterations(3)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_PayWithRetry)
    ->Arg(1000)
    ->Arg(5000)
    ->Arg(20000)
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

} // namespace
