// What a title read costs against what strangers paid the registry's watches, and what hangings
// that name never-paired ids cost a gallery read: the requests each fake service answered and the
// wall time, each measured in a fresh process (nothing remembered but what the data folder kept).
// And a title read, its read again after a restart, and the first gallery read of a Refresh with
// ten hangings, against up to a million strangers' payments at each registry watch, at
// WhatsOnChain's free rate as the shipped program paces itself: the requests per host, the
// program's own CPU time and the bytes of the watch files it kept.
#include "art/gallery_frames.h"
#include "art/pairing.h"
#include "art/title_chain.h"
#include "art/window_reads.h"
#include "bench/bench_paths.h"
#include "chain/inscription.h"
#include "chain/tx_store.h"
#include "chain/woc_client.h"
#include "fakes/chain_fixture.h"
#include "fakes/fake_gorillapool.h"
#include "fakes/fake_identity.h"
#include "fakes/fake_oracle.h"
#include "fakes/registry_fixture.h"
#include "identity/identity_lookup.h"
#include "support/temp_dir.h"
#include "support/wallet_fixture.h"
#include "wallet/codecs.h"
#include "wallet/kv_cofferly_wallet.h"
#include "wallet/registry.h"

#include <benchmark/benchmark.h>

#include <malloc.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <future>
#include <memory>
#include <set>
#include <string>
#include <thread>

namespace {

// Strangers' payments to the address, all in one new block.
void strangers(FakeChain& chain, const std::string& address, std::int64_t n) {
    chain.ledger.add_payments(address, static_cast<std::uint64_t>(n), 0, static_cast<std::uint64_t>(n));
}

// A restart: what the process remembered goes, what the data folder kept stays.
void fresh_process() {
    title_memory_forget();
    tx_store_clear();
    woc_cache_clear();
    gallery_cache_clear();
    clear_identity_cache();
}

struct Counted {
    double ms = 0;
    int woc = 0;
    int platform = 0;
};

template <typename Read> Counted count(FakeChain& chain, const Read& read) {
    chain.woc.reset_counts();
    chain.platform.reset_counts();
    const auto begin = std::chrono::steady_clock::now();
    read();
    Counted counted;
    counted.ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - begin).count();
    counted.woc = chain.woc.request_count();
    counted.platform = chain.platform.request_count();
    print_paths("woc", chain.woc);
    print_paths("platform", chain.platform);
    return counted;
}

void report(benchmark::State& state, const Counted& counted) {
    state.counters["requests"] = counted.woc + counted.platform;
    state.counters["woc"] = counted.woc;
    state.counters["platform"] = counted.platform;
    state.counters["read_ms"] = counted.ms;
}

// The first title read of an artwork in a fresh process, its pair and one pass mined. Arguments:
// strangers' 1-sat payments to the title watch, to the pair watch, and whether they came before
// the pair (1; the artist's program read the watches before pairing, as pairing does) or after
// it (0).
void BM_FirstTitleRead(benchmark::State& state) {
    const std::int64_t title_strangers = state.range(0);
    const std::int64_t pair_strangers = state.range(1);
    const bool before = state.range(2) == 1;
    Counted counted;
    std::string failure;
    for (auto _ : state) {
        state.PauseTiming();
        TempDataDir data_dir;
        auto chain = std::make_unique<FakeChain>();
        FakeIdentity ids;
        serve_fake_identity(chain->platform, ids);
        const TestKey alice = test_key_from_byte(0x11), bob = test_key_from_byte(0x22);
        ids.set_key("alice@kestrava.net", alice.pub);
        set_service_settings(settings_for(*chain));
        fresh_process();
        const std::string art = fake_inscribe(*chain, alice.hash, "image/png", "\x89PNG bench");
        const std::string cert = fake_inscribe(*chain, alice.hash, "application/json", R"({"title":"Dawn"})");
        std::vector<KvArtTitleRow> rows;
        if (before) {
            strangers(*chain, kTitleWatchAddress, title_strangers);
            strangers(*chain, kPairWatchAddress, pair_strangers);
            art_title_chain(art, rows);
        }
        const nlohmann::json pair =
            fake_art_record("art_pair", "alice", 100,
                            {{"pic", art}, {"cert", cert}, {"sha256", std::string(64, 'e')}, {"owner", alice.pub}});
        const std::string paired = fake_pair_tx(*chain, alice, fake_signed_record(pair, 0x11));
        chain->ledger.mine();
        const nlohmann::json pass = fake_art_record(
            "art_owner", "alice", 160, {{"pic", art}, {"cert", cert}, {"owner", bob.pub}, {"prev", paired}});
        fake_pass_tx(*chain, {art.substr(0, 64), 0, alice}, {cert.substr(0, 64), 0, alice}, bob.address,
                     fake_signed_record(pass, 0x11));
        chain->ledger.mine();
        if (!before) {
            strangers(*chain, kTitleWatchAddress, title_strangers);
            strangers(*chain, kPairWatchAddress, pair_strangers);
        }
        fresh_process();
        state.ResumeTiming();

        std::string error;
        counted = count(*chain, [&] { error = art_title_chain(art, rows); });

        state.PauseTiming();
        if (!error.empty() || rows.size() != 2) failure = "the title was not read: " + error;
        clear_identity_cache();
        chain.reset();
        state.ResumeTiming();
    }
    if (!failure.empty()) state.SkipWithError(failure.c_str());
    report(state, counted);
}
BENCHMARK(BM_FirstTitleRead)
    ->ArgNames({"title", "pair", "before"})
    ->ArgsProduct({{0, 10001}, {0, 4000}, {0, 1}})
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// A record at a frame's watch, signed by `key`.
void hang(FakeChain& chain, int frame, std::uint8_t key, const char* name, std::int64_t ts, const std::string& pic,
          const std::string& cert) {
    nlohmann::json msg = fake_art_record("art_show", name, ts,
                                         {{"spot", spot_label(frame)},
                                          {"pic", pic},
                                          {"cert", cert},
                                          {"sha256", std::string(64, 'e')},
                                          {"price", "1000"},
                                          {"pay_addr", "1Pay"}});
    fake_post_record(chain, spot_row(frame).watch, fake_signed_record(msg, key));
}

// A gallery read in a fresh process: frame 1 shows alice's paired artwork, frames 2 on show
// hangings of ids that were never paired (Arg), 400 strangers' payments at each registry watch,
// read at WhatsOnChain's free rate as the shipped program paces it. The data folder saw the
// gallery before the junk was hung. `first_*`: the first read after the junk was hung, which has
// each watch read whole once (an id with no pair can stand anywhere); the plain counters: the
// read after the next restart.
void BM_GalleryReadWithJunkHangings(benchmark::State& state) {
    const auto junk = static_cast<int>(state.range(0));
    Counted first, later;
    std::string failure;
    for (auto _ : state) {
        state.PauseTiming();
        TempDataDir data_dir;
        auto chain = std::make_unique<FakeChain>();
        FakeIdentity ids;
        serve_fake_identity(chain->platform, ids);
        const TestKey alice = test_key_from_byte(0x11);
        ids.set_key("alice@kestrava.net", alice.pub);
        ids.set_key("bob@kestrava.net", test_key_from_byte(0x22).pub);
        set_service_settings(settings_for(*chain));
        fresh_process();
        const std::string art = fake_inscribe(*chain, alice.hash, "image/png", "png-bytes");
        const std::string cert = fake_inscribe(*chain, alice.hash, "application/json", R"({"title":"Dawn"})");
        const nlohmann::json pair =
            fake_art_record("art_pair", "alice", 50,
                            {{"pic", art}, {"cert", cert}, {"sha256", std::string(64, 'e')}, {"owner", alice.pub}});
        fake_pair_tx(*chain, alice, fake_signed_record(pair, 0x11));
        chain->ledger.mine();
        strangers(*chain, kTitleWatchAddress, 400);
        strangers(*chain, kPairWatchAddress, 400);
        hang(*chain, 1, 0x11, "alice", 100, art, cert);
        chain->ledger.mine();
        std::vector<SpotFrame> frames;
        load_all_spots(frames);
        for (int i = 0; i < junk; ++i) {
            char pic[80];
            std::snprintf(pic, sizeof pic, "%064x_0", 0xbad000 + i);
            hang(*chain, 2 + i % 9, 0x22, "bob", 200 + i, pic, std::string(64, 'c'));
        }
        chain->ledger.mine();
        limit_woc_to_free_rate(*chain);
        state.ResumeTiming();

        for (Counted* read : {&first, &later}) {
            fresh_process();
            *read = count(*chain, [&] { load_all_spots(frames); });
            if (frames.empty() || !frames[0].shown) failure = "frame 1 not shown";
        }

        state.PauseTiming();
        clear_identity_cache();
        chain.reset();
        state.ResumeTiming();
    }
    if (!failure.empty()) state.SkipWithError(failure.c_str());
    report(state, later);
    state.counters["first_requests"] = first.woc + first.platform;
    state.counters["first_woc"] = first.woc;
    state.counters["first_read_ms"] = first.ms;
}
BENCHMARK(BM_GalleryReadWithJunkHangings)
    ->Arg(0)
    ->Arg(5)
    ->Arg(10)
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

} // namespace

namespace {

// Strangers pay the registry's watches this many to a block.
constexpr std::uint64_t kPaymentsPerBlock = 1000;
// A read that runs longer is cut: the fakes then fail every request, and the row reports an error.
constexpr auto kReadCap = std::chrono::seconds(90);

// `n` strangers' payments at each registry watch, in the same new blocks.
void pay_watches(FakeChain& chain, std::uint64_t n) {
    if (n == 0) return;
    const std::int32_t first = chain.ledger.tip() + 1;
    for (const char* watch : {kTitleWatchAddress, kPairWatchAddress})
        chain.ledger.add_payments(watch, n, first, kPaymentsPerBlock);
}

// The services of a registry read, at WhatsOnChain's free rate and the shipped pace.
struct Registry {
    std::unique_ptr<FakeChain> chain = std::make_unique<FakeChain>();
    std::unique_ptr<FakeGorillaPool> gp = std::make_unique<FakeGorillaPool>(chain->ledger);
    FakeIdentity ids;
    TestKey alice = test_key_from_byte(0x11), bob = test_key_from_byte(0x22);
    std::string cert; // of the last artwork paired

    Registry() {
        serve_fake_identity(chain->platform, ids);
        ids.set_key("alice@kestrava.net", alice.pub);
        ids.set_key("bob@kestrava.net", bob.pub);
        set_service_settings(settings_for(*chain, *gp));
        limit_woc_to_free_rate(*chain);
    }
    ~Registry() { clear_identity_cache(); }
    std::vector<FakeServer*> servers() { return {&chain->woc, &chain->platform, &gp->server}; }

    // An artwork of alice's paired (and passed to bob), strangers' payments at the watches before
    // its blocks, between its inscription and its pair, and after its pair (or pass). Its id.
    // `draft`: a record of a type no reader keeps stands among the payments between.
    std::string paired_artwork(const std::string& name, std::uint64_t before, std::uint64_t between,
                               std::uint64_t after, bool pass = true, bool draft = false) {
        pay_watches(*chain, before);
        const std::string art = fake_inscribe(*chain, alice.hash, "image/png", "\x89PNG " + name);
        cert = fake_inscribe(*chain, alice.hash, "application/json", R"({"title":")" + name + R"("})");
        pay_watches(*chain, between);
        if (draft)
            fake_post_record(*chain, kPairWatchAddress,
                             fake_signed_record(fake_art_record("art_draft", "alice", 50), 0x11));
        const nlohmann::json pair =
            fake_art_record("art_pair", "alice", 100,
                            {{"pic", art}, {"cert", cert}, {"sha256", std::string(64, 'e')}, {"owner", alice.pub}});
        const std::string paired = fake_pair_tx(*chain, alice, fake_signed_record(pair, 0x11));
        chain->ledger.mine();
        if (!pass) {
            pay_watches(*chain, after);
            return art;
        }
        const nlohmann::json record = fake_art_record(
            "art_owner", "alice", 160, {{"pic", art}, {"cert", cert}, {"owner", bob.pub}, {"prev", paired}});
        fake_pass_tx(*chain, {art.substr(0, 64), 0, alice}, {cert.substr(0, 64), 0, alice}, bob.address,
                     fake_signed_record(record, 0x11));
        chain->ledger.mine();
        pay_watches(*chain, after);
        return art;
    }
};

double process_cpu_ms() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) * 1e3 + static_cast<double>(t.tv_nsec) / 1e6;
}

// Bytes of the files under <data>/registry/, where the watch reads keep what they read.
double kept_bytes() {
    std::error_code ec;
    std::uintmax_t bytes = 0;
    for (std::filesystem::recursive_directory_iterator it(kestrava_data_dir() + "/registry", ec), end; !ec && it != end;
         it.increment(ec)) {
        if (it->is_regular_file(ec)) bytes += it->file_size(ec);
    }
    return static_cast<double>(bytes);
}

// Runs a read (it returns its error text, "" on success); `ended` is called as it ends or as it
// is cut past kReadCap, after which the services answer 404 to every request (not asked again)
// and the program's pace is lifted, so that the read ends soon.
template <typename Read, typename Ended> std::string capped(Registry& services, const Read& read, const Ended& ended) {
    std::future<std::string> done = std::async(std::launch::async, read);
    if (done.wait_for(kReadCap) != std::future_status::timeout) {
        ended();
        return done.get();
    }
    ended();
    const ServiceSettings paced = service_settings();
    ServiceSettings unpaced = paced;
    unpaced.woc_pace = unpaced.host_pace;
    set_service_settings(unpaced);
    for (FakeServer* server : services.servers())
        server->set_fault("", FakeFault{404});
    done.wait();
    for (FakeServer* server : services.servers())
        server->clear_faults();
    set_service_settings(paced);
    return "cut after " + std::to_string(kReadCap.count()) + " s";
}

// Runs one read and reports its cost. cpu_ms is the process's CPU time during the read less what
// the fake services' threads spent answering it: the program's own work (its threads, HTTP, JSON,
// verifying, keeping), plus the fakes' socket reads and writes outside their handlers, which are
// small.
template <typename Read> void measure(benchmark::State& state, Registry& services, const Read& read) {
    for (FakeServer* server : services.servers())
        server->reset_counts();
    const double cpu_begin = process_cpu_ms();
    const auto begin = std::chrono::steady_clock::now();
    double wall_ms = 0, cpu_ms = 0;
    int requests[3] = {0, 0, 0};
    const std::string error = capped(services, read, [&] {
        wall_ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - begin).count();
        cpu_ms = process_cpu_ms() - cpu_begin;
        for (int i = 0; i < 3; ++i)
            requests[i] = services.servers()[i]->request_count();
        for (FakeServer* server : services.servers())
            cpu_ms -= server->handler_cpu_ms();
    });
    state.counters["wall_ms"] = wall_ms;
    state.counters["cpu_ms"] = cpu_ms;
    state.counters["woc"] = requests[0];
    state.counters["woc_refused"] = services.chain->woc.rate_limited_count();
    state.counters["platform"] = requests[1];
    state.counters["gorillapool"] = requests[2];
    state.counters["kept_bytes"] = kept_bytes();
    print_paths("woc", services.chain->woc);
    print_paths("platform", services.chain->platform);
    print_paths("gp", services.gp->server);
    // An error row shows no counters: its text carries the main ones.
    if (!error.empty()) {
        char figures[160];
        std::snprintf(figures, sizeof figures, " [after %.0f ms, cpu_ms=%.0f, woc=%d, platform=%d, gorillapool=%d]",
                      wall_ms, cpu_ms, requests[0], requests[1], requests[2]);
        state.SkipWithError((error + figures).c_str());
    }
}

// A title read of an artwork paired and passed once. Arguments: 0 the first read in a fresh data
// folder, 1 the same read after a restart (the files kept); strangers' payments at each registry
// watch; 0 half of them before the artwork's blocks and half after its pass, 1 all between its
// inscription and its pair.
void BM_TitleReadPaidWatches(benchmark::State& state) {
    const bool restart = state.range(0) == 1;
    const auto payments = static_cast<std::uint64_t>(state.range(1));
    const bool between = state.range(2) == 1;
    for (auto _ : state) {
        TempDataDir data_dir;
        fresh_process();
        Registry services;
        const std::string art = between ? services.paired_artwork("Dawn", 0, payments, 0)
                                        : services.paired_artwork("Dawn", payments / 2, 0, payments - payments / 2);
        std::vector<KvArtTitleRow> rows;
        const auto read = [&art, &rows] {
            const std::string error = art_title_chain(art, rows);
            return error.empty() && rows.size() != 2 ? "the title was not read whole" : error;
        };
        if (restart) capped(services, read, [] {});
        fresh_process();
        measure(state, services, read);
    }
}
BENCHMARK(BM_TitleReadPaidWatches)
    ->ArgNames({"restart", "payments", "between"})
    ->ArgsProduct({{0, 1}, {0, 100000, 1000000}, {0}})
    ->Args({0, 100000, 1})
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// The gallery read of a first Refresh (the shell's gallery job) in a fresh data folder, ten
// frames each hung by alice with an artwork she paired, strangers' payments at
// each registry watch (the argument), half before the artworks' blocks and half after their pairs.
void BM_RefreshTenHangingsPaidWatches(benchmark::State& state) {
    const auto payments = static_cast<std::uint64_t>(state.range(0));
    for (auto _ : state) {
        TempDataDir data_dir;
        fresh_process();
        Registry services;
        pay_watches(*services.chain, payments / 2);
        for (std::int32_t spot = 1; spot <= 10; ++spot) {
            const std::string name = "Dawn " + std::to_string(spot);
            const std::string art = services.paired_artwork(name, 0, 0, 0, false);
            hang(*services.chain, spot, 0x11, "alice", 200 + spot, art, services.cert);
        }
        services.chain->ledger.mine();
        pay_watches(*services.chain, payments - payments / 2);
        measure(state, services, [] {
            std::vector<SpotLoad> spots;
            std::set<std::string> closed;
            read_gallery(spots, closed);
            int shown = 0;
            for (const SpotLoad& spot : spots)
                shown += spot.shown ? 1 : 0;
            return shown == 10 ? std::string() : std::to_string(shown) + " of 10 frames shown";
        });
    }
}
BENCHMARK(BM_RefreshTenHangingsPaidWatches)
    ->ArgNames({"payments"})
    ->Arg(0)
    ->Arg(100000)
    ->Arg(1000000)
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// The listing pages of the watches' mined histories a read asked for.
int history_pages(const FakeServer& woc) {
    int pages = 0;
    for (const FakeRequest& request : woc.requests())
        pages += request.path.find("/confirmed/history") != std::string::npos ? 1 : 0;
    return pages;
}

// The artist pairs right after inscribing, as the window's Pair button runs it in a fresh
// process: the artwork and its certificate still wait in the mempool, strangers' payments (the
// argument) at each registry watch in the blocks before. title_read_woc: the registry read the
// pairing rests on (art_title_confirm), alone in a fresh process.
void BM_PairUnminedArtwork(benchmark::State& state) {
    const auto payments = static_cast<std::uint64_t>(state.range(0));
    for (auto _ : state) {
        TempDataDir data_dir;
        fresh_process();
        Registry services;
        reset_chain_session_for_tests();
        write_test_wallet_file("w1");
        load_wallet_id("w1");
        std::string identity;
        Hash160 ord{};
        {
            WalletLock lock = lock_wallet();
            kv_wallet().paymail = "alice";
            identity = kv_wallet().identity_pub;
            ord = test_hash_of(derive_ordinals_key());
            services.chain->ledger.fund(kv_wallet().address, 1000000);
        }
        services.ids.set_key("alice@kestrava.net", identity);
        pay_watches(*services.chain, payments);
        const std::string bytes = "\x89PNG unmined";
        const auto inscribe = [&](const std::string& type, const std::string& body) {
            const Bytes script = build_inscription_script(ord, type, Bytes(body.begin(), body.end()), "", "");
            return services.chain->ledger.fund_outputs({{script, 1}}, false) + "_0";
        };
        const std::string art = inscribe("image/png", bytes);
        const std::string cert =
            inscribe("application/json",
                     nlohmann::json{{"pic", art}, {"sha256", sha256_hex(bytes)}, {"artist", identity}}.dump());
        // The registry read the pairing rests on, alone, in a fresh process of its own.
        fresh_process();
        services.chain->woc.reset_counts();
        std::vector<KvArtTitleRow> rows;
        TitlePair first;
        capped(
            services, [&] { return art_title_confirm(art, rows, first); }, [] {});
        const int title_read_woc = services.chain->woc.request_count();
        fresh_process();
        measure(state, services, [&] {
            const std::string paired = art_pair_artwork(art, cert);
            return paired.rfind("success: ", 0) == 0 ? std::string() : paired;
        });
        state.counters["history_pages"] = history_pages(services.chain->woc);
        state.counters["title_read_woc"] = title_read_woc;
        drop_platform_session();
        reset_chain_session_for_tests();
    }
}
BENCHMARK(BM_PairUnminedArtwork)
    ->ArgNames({"payments"})
    ->Arg(0)
    ->Arg(100000)
    ->Arg(1000000)
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// The heap the process holds, sampled every millisecond while it lives: the most it grew above
// the least it held before (what it freed first does not hide what it took after).
struct HeapPeak {
    std::atomic<bool> done{false};
    std::atomic<std::size_t> growth{0};
    std::thread sampler{[this] {
        std::size_t low = held();
        while (!done) {
            const std::size_t now = held();
            low = std::min(low, now);
            if (now - low > growth) growth = now - low;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }};
    static std::size_t held() {
        const struct mallinfo2 info = mallinfo2();
        return info.uordblks + info.hblkhd;
    }
    double megabytes() {
        done = true;
        if (sampler.joinable()) sampler.join();
        return static_cast<double>(growth.load()) / (1 << 20);
    }
    ~HeapPeak() { megabytes(); }
};

// The confirming read before Pay (the title read a step that moves money rests on) after the first
// title read. Arguments: strangers' payments at each registry watch between the artwork's
// inscription and its pair; 1: a record of a type no reader keeps stands among them; 1: the
// confirm runs after a restart. history_pages: the listing pages it asked for, which a confirm
// must list afresh; heap_mb: the most heap the process held above its start while it ran.
void BM_ConfirmBeforePay(benchmark::State& state) {
    const auto payments = static_cast<std::uint64_t>(state.range(0));
    for (auto _ : state) {
        TempDataDir data_dir;
        fresh_process();
        Registry services;
        const std::string art = services.paired_artwork("Dawn", 0, payments, 0, true, state.range(1) == 1);
        std::vector<KvArtTitleRow> rows;
        fresh_process();
        // The first read is the set-up here, read to its end without the pace; the confirm after
        // it is measured at the shipped pace.
        const ServiceSettings paced = service_settings();
        ServiceSettings unpaced = paced;
        unpaced.woc_pace = unpaced.host_pace;
        set_service_settings(unpaced);
        services.chain->woc.set_rate_limit(1e9, 1000000000);
        const std::string first = art_title_chain(art, rows);
        set_service_settings(paced);
        services.chain->woc.set_rate_limit(kWocFreeRate, static_cast<int>(kWocFreeRate));
        if (!first.empty() || rows.size() != 2) state.SkipWithError(("first read: " + first).c_str());
        if (state.range(2) == 1) fresh_process();
        HeapPeak heap;
        measure(state, services, [&] {
            TitlePair pair;
            TitleCoins coins;
            const std::string error = art_title_confirm(art, rows, pair, &coins);
            return error.empty() && rows.size() != 2 ? "the title was not read whole" : error;
        });
        state.counters["heap_mb"] = heap.megabytes();
        state.counters["history_pages"] = history_pages(services.chain->woc);
    }
}
BENCHMARK(BM_ConfirmBeforePay)
    ->ArgNames({"payments", "draft", "restart"})
    ->Args({10000, 0, 0})
    ->Args({100000, 0, 0})
    ->Args({1000, 1, 1})
    ->Args({100000, 0, 1})
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

} // namespace
