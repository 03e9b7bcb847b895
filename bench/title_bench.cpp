// What a title read costs against what strangers paid the registry's watches, and what hangings
// that name never-paired ids cost a gallery read: the requests each fake service answered and the
// wall time, each measured in a fresh process (nothing remembered but what the data folder kept).
#include "art/gallery_frames.h"
#include "art/title_chain.h"
#include "bench/bench_paths.h"
#include "chain/tx_store.h"
#include "chain/woc_client.h"
#include "fakes/chain_fixture.h"
#include "fakes/fake_identity.h"
#include "fakes/fake_oracle.h"
#include "fakes/registry_fixture.h"
#include "identity/identity_lookup.h"
#include "support/temp_dir.h"

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <string>

namespace {

void strangers(FakeChain& chain, const std::string& address, std::int64_t n) {
    for (std::int64_t i = 0; i < n; ++i)
        chain.ledger.fund(address, 1, false);
    chain.ledger.mine();
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
