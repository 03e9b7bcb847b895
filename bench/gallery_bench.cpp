// The gallery's ten frames read, with 0, 1 or 10 of them showing a paired artwork (its certificate
// inscribed) and nine asks beside the first hanging, against the fake services with 20 or 80 ms
// added to every request. A frame's longest chain of dependent requests is three (its transaction
// ids, a transaction, the certificate) before the title of its hanging is read; the report gives
// the wall time against that chain and the requests each service answered, with WhatsOnChain
// unlimited or at its free rate with the shipped pace. And a Look up of a hung artwork, the same way.
#include "art/gallery_frames.h"
#include "art/ownership.h"
#include "art/title_chain.h"
#include "art/window_reads.h"
#include "bench/bench_paths.h"
#include "chain/woc_client.h"
#include "fakes/chain_fixture.h"
#include "fakes/fake_gorillapool.h"
#include "fakes/fake_identity.h"
#include "fakes/fake_oracle.h"
#include "fakes/registry_fixture.h"
#include "fakes/secp_check.h"
#include "identity/identity_lookup.h"
#include "support/temp_dir.h"
#include "wallet/codecs.h"

#include <benchmark/benchmark.h>

#include <chrono>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace {

constexpr int kDependentChain = 3;

void post(FakeChain& chain, std::int32_t spot, const std::string& type, std::uint8_t key, std::int64_t ts,
          const std::string& pic, const nlohmann::json& fields) {
    nlohmann::json msg =
        fake_art_record(type, key == 0x11 ? "alice" : "bob", ts, {{"spot", spot_label(spot)}, {"pic", pic}});
    for (const auto& item : fields.items())
        msg[item.key()] = item.value();
    fake_post_record(chain, spot_row(spot).watch, fake_signed_record(msg, key));
}

// The services of one run: alice's artworks paired and hung in the first `hangings` frames, bob's
// nine asks on the first; first_art is the first artwork's id ("" with none hung).
struct Gallery {
    std::unique_ptr<FakeChain> chain = std::make_unique<FakeChain>();
    std::unique_ptr<FakeGorillaPool> gp = std::make_unique<FakeGorillaPool>(chain->ledger);
    FakeIdentity ids;
    std::string first_art;

    Gallery(int hangings, bool free_rate) {
        serve_fake_identity(chain->platform, ids);
        ids.set_key("alice@kestrava.net", secp_pubkey_hex(Bytes(32, 0x11)));
        ids.set_key("bob@kestrava.net", secp_pubkey_hex(Bytes(32, 0x22)));
        clear_identity_cache();
        set_service_settings(settings_for(*chain, *gp));
        Hash160 alice_hash{};
        alice_hash.fill(0x11);
        for (std::int32_t spot = 1; spot <= hangings; ++spot) {
            const std::string title = "Dawn " + std::to_string(spot);
            const std::string cert = fake_inscribe(*chain, alice_hash, "application/json",
                                                   R"({"title":")" + title + R"(","artist_name":"Alice"})");
            // A hanging counts only for the artwork's owner: alice pairs it first.
            const std::string art = fake_inscribe(*chain, alice_hash, "image/png", "png-bytes " + title);
            if (spot == 1) first_art = art;
            const nlohmann::json pair = {{"pic", art},
                                         {"cert", cert},
                                         {"sha256", std::string(64, 'e')},
                                         {"owner", secp_pubkey_hex(Bytes(32, 0x11))}};
            fake_pair_tx(*chain, test_key_from_byte(0x11),
                         fake_signed_record(fake_art_record("art_pair", "alice", 50, pair), 0x11));
            chain->ledger.mine(); // she hangs it once paired
            post(*chain, spot, "art_show", 0x11, 100, art,
                 {{"cert", cert}, {"sha256", std::string(64, 'e')}, {"price", "1000"}, {"pay_addr", "1Pay"}});
        }
        const std::string bob = secp_pubkey_hex(Bytes(32, 0x22));
        for (std::int64_t ts = 101; hangings > 0 && ts <= 109; ++ts)
            post(*chain, 1, "art_gask", 0x22, ts, first_art, {{"price_sats", "1000"}, {"buyer", bob}});
        chain->ledger.mine();
        gallery_cache_clear();
        if (free_rate) limit_woc_to_free_rate(*chain);
    }
    ~Gallery() { clear_identity_cache(); }
    void slow_down(int delay_ms) {
        FakeFault slow;
        slow.delay_ms = delay_ms;
        for (FakeServer* server : {&chain->woc, &chain->platform, &gp->server}) {
            server->set_fault("", slow);
            server->reset_counts();
        }
    }
    // `chain` 0: no dependent chain to compare with.
    void report(benchmark::State& state, double wall_ms, int delay_ms, int chain_steps = kDependentChain) {
        print_paths("woc", chain->woc);
        print_paths("platform", chain->platform);
        print_paths("gp", gp->server);
        const int woc = chain->woc.request_count(), platform = chain->platform.request_count();
        const int gorillapool = gp->server.request_count();
        state.counters["wall_ms"] = wall_ms;
        if (chain_steps > 0) {
            state.counters["chain_ms"] = chain_steps * delay_ms;
            state.counters["times_chain"] = wall_ms / static_cast<double>(chain_steps * delay_ms);
        }
        state.counters["requests"] = woc + platform + gorillapool;
        state.counters["woc"] = woc;
        state.counters["platform"] = platform;
        state.counters["gorillapool"] = gorillapool;
        state.counters["woc_refused"] = chain->woc.rate_limited_count();
        state.counters["woc_connections"] = chain->woc.connection_count();
    }
};

double ms_since(std::chrono::steady_clock::time_point begin) {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - begin).count();
}

// First argument 0: the gallery read cold. 1: a sale step's read of the frames right after the
// gallery was read, as an acceptance makes it (the listings of that read serve again). 2: the same
// as paying or completing makes it (every watch read again; mined records are not). Then the delay,
// the frames hung, and WhatsOnChain's free rate (1) or none (0).
void BM_GalleryColdLoad(benchmark::State& state) {
    const auto second_read = state.range(0);
    const auto delay_ms = static_cast<int>(state.range(1));
    const auto hangings = static_cast<int>(state.range(2));
    TempDataDir data_dir;
    for (auto _ : state) {
        state.PauseTiming();
        Gallery gallery(hangings, state.range(3) != 0);
        std::vector<SpotFrame> frames;
        if (second_read) load_all_spots(frames);
        gallery.slow_down(delay_ms);
        state.ResumeTiming();

        const auto begin = std::chrono::steady_clock::now();
        load_all_spots(frames, second_read == 1);
        const double wall_ms = ms_since(begin);

        state.PauseTiming();
        if (hangings > 0 && (frames.empty() || !frames[0].shown)) state.SkipWithError("frame 1 not shown");
        gallery.report(state, wall_ms, delay_ms);
        state.ResumeTiming();
    }
}
BENCHMARK(BM_GalleryColdLoad)
    ->ArgNames({"second_read", "delay_ms", "hangings", "free_rate"})
    ->ArgsProduct({{0, 1, 2}, {20, 80}, {1}, {0}})
    ->ArgsProduct({{0}, {80}, {0, 10}, {0}})
    ->ArgsProduct({{0}, {80}, {0, 1, 10}, {1}})
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// Look up of a hung artwork by its id, at the delay and free rate of the arguments.
void BM_LookUp(benchmark::State& state) {
    const auto delay_ms = static_cast<int>(state.range(0));
    TempDataDir data_dir;
    for (auto _ : state) {
        state.PauseTiming();
        Gallery gallery(1, state.range(1) != 0);
        gallery.slow_down(delay_ms);
        state.ResumeTiming();
        const auto begin = std::chrono::steady_clock::now();
        const std::string report = art_lookup_by_id(gallery.first_art);
        const double wall_ms = ms_since(begin);
        state.PauseTiming();
        if (report.find("error") == 0) state.SkipWithError(report.c_str());
        gallery.report(state, wall_ms, delay_ms, 0);
        state.ResumeTiming();
    }
}
BENCHMARK(BM_LookUp)
    ->ArgNames({"delay_ms", "free_rate"})
    ->ArgsProduct({{80}, {0, 1}})
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// A gallery read (the shell's gallery job) in a fresh process at WhatsOnChain's free rate as the
// shipped program paces itself: frame 1 shows alice's paired artwork; with the first argument 1
// frame 2 also hangs an inscription of hers never paired, older than the strangers' payments at
// each registry watch (the second argument). Two Refreshes one after the other: `first_woc` is the
// first's, `woc` the second's, which goes on from what the first kept.
void BM_GalleryNeverPairedHanging(benchmark::State& state) {
    const bool hung = state.range(0) == 1;
    const auto payments = static_cast<std::uint64_t>(state.range(1));
    TempDataDir data_dir;
    for (auto _ : state) {
        state.PauseTiming();
        Gallery gallery(1, false);
        Hash160 alice_hash{};
        alice_hash.fill(0x11);
        const std::string lone = fake_inscribe(*gallery.chain, alice_hash, "image/png", "png-bytes never paired");
        const std::string cert = fake_inscribe(*gallery.chain, alice_hash, "application/json", R"({"title":"Lone"})");
        const std::int32_t first = gallery.chain->ledger.tip() + 1;
        for (const char* watch : {kTitleWatchAddress, kPairWatchAddress})
            gallery.chain->ledger.add_payments(watch, payments, first, 1000);
        if (hung)
            post(*gallery.chain, 2, "art_show", 0x11, 200, lone,
                 {{"cert", cert}, {"sha256", std::string(64, 'e')}, {"price", "1000"}, {"pay_addr", "1Pay"}});
        gallery.chain->ledger.mine();
        title_memory_forget();
        woc_cache_clear();
        gallery_cache_clear();
        limit_woc_to_free_rate(*gallery.chain);
        gallery.slow_down(0);
        state.ResumeTiming();

        int woc[2] = {0, 0};
        double wall_ms[2] = {0, 0};
        bool shown = true;
        for (int read = 0; read < 2; ++read) {
            gallery.chain->woc.reset_counts();
            const auto begin = std::chrono::steady_clock::now();
            std::vector<SpotFrame> frames;
            load_all_spots(frames);
            shown = shown && !frames.empty() && frames[0].shown;
            wall_ms[read] = ms_since(begin);
            woc[read] = gallery.chain->woc.request_count();
        }

        state.PauseTiming();
        if (!shown) state.SkipWithError("frame 1 not shown");
        gallery.report(state, wall_ms[1], 0, 0);
        state.counters["first_woc"] = woc[0];
        state.counters["first_read_ms"] = wall_ms[0];
        state.ResumeTiming();
    }
}
BENCHMARK(BM_GalleryNeverPairedHanging)
    ->ArgNames({"hung", "payments"})
    ->ArgsProduct({{0, 1}, {2000, 100000}})
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

void forget_as_a_restart_does() {
    title_memory_forget();
    woc_cache_clear();
    gallery_cache_clear();
}

// Refreshes of a new data folder's gallery (the shell's gallery job) at WhatsOnChain's free rate as
// the shipped program paces it, until alice's paired artwork shows: with the first argument 0 in
// frame 2 under a stranger's hanging of an inscription of his never paired, older than the
// strangers' payments at each registry watch (the second argument); with 1 in frame 1 beside nine
// frames of such junk, her artwork newer than his inscriptions and the payments. With the third argument 1 the
// process starts afresh before each Refresh. `refreshes` counts them (at most kMostRefreshes),
// `woc` the last one's requests, `shown` 0 when it never showed.
constexpr int kMostRefreshes = 100;
void BM_GalleryJunkRefreshes(benchmark::State& state) {
    const bool beside = state.range(0) == 1;
    const auto payments = static_cast<std::uint64_t>(state.range(1));
    const bool restart = state.range(2) == 1;
    const std::string sha = std::string(64, 'e');
    TempDataDir data_dir;
    for (auto _ : state) {
        state.PauseTiming();
        Gallery gallery(0, false);
        FakeChain& chain = *gallery.chain;
        Hash160 alice_hash{}, bob_hash{};
        alice_hash.fill(0x11);
        bob_hash.fill(0x22);
        std::vector<std::string> junk;
        for (int i = 0; i < (beside ? 9 : 1); ++i)
            junk.push_back(fake_inscribe(chain, bob_hash, "image/png", "png-bytes junk " + std::to_string(i)));
        const std::int32_t frame = beside ? 1 : 2;
        const auto alice_hangs = [&] {
            const std::string cert = fake_inscribe(chain, alice_hash, "application/json", R"({"title":"Dawn"})");
            const std::string art = fake_inscribe(chain, alice_hash, "image/png", "png-bytes Dawn");
            const nlohmann::json terms = {
                {"pic", art}, {"cert", cert}, {"sha256", sha}, {"owner", secp_pubkey_hex(Bytes(32, 0x11))}};
            fake_pair_tx(chain, test_key_from_byte(0x11),
                         fake_signed_record(fake_art_record("art_pair", "alice", 50, terms), 0x11));
            chain.ledger.mine();
            post(chain, frame, "art_show", 0x11, 100, art,
                 {{"cert", cert}, {"sha256", sha}, {"price", "1000"}, {"pay_addr", "1Pay"}});
            chain.ledger.mine();
        };
        // Under the junk her hanging is older than the payments; beside it, her artwork newer.
        if (!beside) alice_hangs();
        const std::int32_t first = chain.ledger.tip() + 1;
        for (const char* watch : {kTitleWatchAddress, kPairWatchAddress})
            chain.ledger.add_payments(watch, payments, first, 1000);
        if (beside) alice_hangs();
        for (std::size_t i = 0; i < junk.size(); ++i)
            post(chain, beside ? 2 + static_cast<std::int32_t>(i) : frame, "art_show", 0x22,
                 200 + static_cast<std::int64_t>(i), junk[i],
                 {{"cert", std::string(64, 'c')}, {"sha256", sha}, {"price", "9"}, {"pay_addr", "1Pay"}});
        chain.ledger.mine();
        forget_as_a_restart_does();
        limit_woc_to_free_rate(chain);
        gallery.slow_down(0);
        state.ResumeTiming();

        int refreshes = 0;
        bool shown = false;
        const auto begin = std::chrono::steady_clock::now();
        while (!shown && refreshes < kMostRefreshes) {
            if (restart) forget_as_a_restart_does();
            chain.woc.reset_counts();
            std::vector<SpotLoad> spots;
            std::set<std::string> closed;
            read_gallery(spots, closed);
            ++refreshes;
            shown = spots.size() == static_cast<std::size_t>(kSpotCount) && spots[frame - 1].shown;
        }
        const double wall_ms = ms_since(begin);

        state.PauseTiming();
        gallery.report(state, wall_ms, 0, 0);
        state.counters["refreshes"] = refreshes;
        state.counters["shown"] = shown ? 1 : 0;
        state.ResumeTiming();
    }
}
BENCHMARK(BM_GalleryJunkRefreshes)
    ->ArgNames({"beside", "payments", "restart"})
    ->ArgsProduct({{0}, {4000, 20000}, {0, 1}})
    ->Args({1, 4000, 0})
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// A record posted at a watch that waits in the mempool, to be mined with whatever the next block
// takes (a pair sent a moment before it lands first).
void post_unmined(FakeChain& chain, std::int32_t spot, std::uint8_t key, std::int64_t ts, const std::string& pic,
                  const nlohmann::json& fields) {
    nlohmann::json msg =
        fake_art_record("art_show", key == 0x11 ? "alice" : "bob", ts, {{"spot", spot_label(spot)}, {"pic", pic}});
    for (const auto& item : fields.items())
        msg[item.key()] = item.value();
    const std::string text = fake_signed_record(msg, key).dump();
    Hash160 watch{};
    address_to_hash160(spot_row(spot).watch, watch);
    Bytes carrier = {0x00, 0x6a};
    append_push_data(carrier, reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
    chain.ledger.fund_outputs({{p2pkh_script(watch), 1}, {carrier, 0}}, false);
}

// A gallery whose every frame alice hung the first argument's times over (1: ten hangings, 10: a
// hundred), each hanging of an artwork of its own, paired just before: with the second argument 1
// she hangs it while the pair waits in the mempool, so the two are mined in one block, the pair
// first; with 0 the pair is mined a block earlier. A fresh process reads the gallery twice (the
// shell's gallery job) at WhatsOnChain's free rate as the shipped program paces it: `shown` counts
// the frames whose newest hanging the first Refresh shows, `first_woc` its WhatsOnChain requests,
// `woc`, `shown_later` and the other services' requests the second Refresh's; `final_restart_woc`
// a Refresh's after a restart once every block is final.
void BM_GalleryHungInPairBlock(benchmark::State& state) {
    const int rounds = static_cast<int>(state.range(0));
    const bool same_block = state.range(1) == 1;
    const std::string sha = std::string(64, 'e');
    TempDataDir data_dir;
    for (auto _ : state) {
        state.PauseTiming();
        Gallery gallery(0, false);
        FakeChain& chain = *gallery.chain;
        Hash160 alice_hash{};
        alice_hash.fill(0x11);
        std::vector<std::string> newest(kSpotCount);
        for (int round = 0; round < rounds; ++round) {
            for (std::int32_t spot = 1; spot <= kSpotCount; ++spot) {
                const std::string title = "Dawn " + std::to_string(round) + "-" + std::to_string(spot);
                const std::string cert = fake_inscribe(chain, alice_hash, "application/json",
                                                       R"({"title":")" + title + R"(","artist_name":"Alice"})");
                const std::string art = fake_inscribe(chain, alice_hash, "image/png", "png-bytes " + title);
                const nlohmann::json terms = {
                    {"pic", art}, {"cert", cert}, {"sha256", sha}, {"owner", secp_pubkey_hex(Bytes(32, 0x11))}};
                fake_pair_tx(chain, test_key_from_byte(0x11),
                             fake_signed_record(fake_art_record("art_pair", "alice", 50, terms), 0x11));
                if (!same_block) chain.ledger.mine();
                post_unmined(chain, spot, 0x11, 100 + round * kSpotCount + spot, art,
                             {{"cert", cert}, {"sha256", sha}, {"price", "1000"}, {"pay_addr", "1Pay"}});
                chain.ledger.mine();
                newest[static_cast<std::size_t>(spot - 1)] = art.substr(0, 64);
            }
        }
        forget_as_a_restart_does();
        limit_woc_to_free_rate(chain);
        gallery.slow_down(0);
        state.ResumeTiming();

        int shown[2] = {0, 0}, woc[2] = {0, 0};
        double wall_ms[2] = {0, 0};
        for (int read = 0; read < 2; ++read) {
            for (FakeServer* server : {&chain.woc, &chain.platform, &gallery.gp->server})
                server->reset_counts();
            const auto begin = std::chrono::steady_clock::now();
            std::vector<SpotLoad> spots;
            std::set<std::string> closed;
            read_gallery(spots, closed);
            wall_ms[read] = ms_since(begin);
            woc[read] = chain.woc.request_count();
            for (std::size_t i = 0; i < spots.size() && i < newest.size(); ++i)
                if (spots[i].shown && spots[i].pic == newest[i]) ++shown[read];
        }

        state.PauseTiming();
        gallery.report(state, wall_ms[1], 0, 0);
        // Later, once every block is final, the program starts again: a Refresh there, then one
        // more start and its Refresh, whose requests `final_restart_woc` counts.
        for (int n = 0; n < 6; ++n)
            chain.ledger.mine();
        for (int start = 0; start < 2; ++start) {
            forget_as_a_restart_does();
            chain.woc.reset_counts();
            std::vector<SpotLoad> spots;
            std::set<std::string> closed;
            read_gallery(spots, closed);
        }
        state.counters["final_restart_woc"] = chain.woc.request_count();
        state.counters["first_woc"] = woc[0];
        state.counters["first_read_ms"] = wall_ms[0];
        state.counters["shown"] = shown[0];
        state.counters["shown_later"] = shown[1];
        state.ResumeTiming();
    }
}
BENCHMARK(BM_GalleryHungInPairBlock)
    ->ArgNames({"hangings_per_frame", "same_block"})
    ->ArgsProduct({{1, 10}, {0, 1}})
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

} // namespace

namespace {

// A title read of an artwork paired and passed once, against the number of unrelated 1-sat
// payments to the title watch (Arg). The first read finds the pair in the watch's listing; a read
// after it follows the coins only. Requests are those both fakes answered for one read.
void BM_TitleReadAgainstStrangers(benchmark::State& state) {
    const auto strangers = state.range(0);
    TempDataDir data_dir;
    double first_ms = 0, later_ms = 0;
    int first_requests = 0, later_requests = 0;
    std::string failure;
    for (auto _ : state) {
        state.PauseTiming();
        auto chain = std::make_unique<FakeChain>();
        FakeIdentity ids;
        serve_fake_identity(chain->platform, ids);
        const TestKey alice = test_key_from_byte(0x11), bob = test_key_from_byte(0x22);
        ids.set_key("alice@kestrava.net", alice.pub);
        clear_identity_cache();
        set_service_settings(settings_for(*chain));
        const std::string art = fake_inscribe(*chain, alice.hash, "image/png", "\x89PNG bench");
        const std::string cert = fake_inscribe(*chain, alice.hash, "application/json", R"({"title":"Dawn"})");
        const nlohmann::json pair =
            fake_art_record("art_pair", "alice", 100,
                            {{"pic", art}, {"cert", cert}, {"sha256", std::string(64, 'e')}, {"owner", alice.pub}});
        const std::string paired = fake_pair_tx(*chain, alice, fake_signed_record(pair, 0x11));
        const nlohmann::json pass = fake_art_record(
            "art_owner", "alice", 160, {{"pic", art}, {"cert", cert}, {"owner", bob.pub}, {"prev", paired}});
        fake_pass_tx(*chain, {art.substr(0, 64), 0, alice}, {cert.substr(0, 64), 0, alice}, bob.address,
                     fake_signed_record(pass, 0x11));
        // Strangers keep paying the watch after the artwork was paired, as on a live platform.
        chain->ledger.mine();
        for (std::int64_t i = 0; i < strangers; ++i)
            chain->ledger.fund(kTitleWatchAddress, 1);
        chain->ledger.mine();
        std::vector<KvArtTitleRow> rows;
        state.ResumeTiming();

        for (int read = 0; read < 2; ++read) {
            chain->woc.reset_counts();
            chain->platform.reset_counts();
            const auto begin = std::chrono::steady_clock::now();
            const std::string error = art_title_chain(art, rows);
            const double ms =
                std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - begin).count();
            if (!error.empty() || rows.size() != 2) failure = "the title was not read: " + error;
            const int requests = chain->woc.request_count() + chain->platform.request_count();
            (read == 0 ? first_ms : later_ms) = ms;
            (read == 0 ? first_requests : later_requests) = requests;
            if (read == 1) {
                print_paths("woc", chain->woc);
                print_paths("platform", chain->platform);
            }
        }

        state.PauseTiming();
        clear_identity_cache();
        chain.reset();
        state.ResumeTiming();
    }
    if (!failure.empty()) state.SkipWithError(failure.c_str());
    state.counters["first_read_ms"] = first_ms;
    state.counters["first_read_requests"] = first_requests;
    state.counters["read_ms"] = later_ms;
    state.counters["read_requests"] = later_requests;
}
BENCHMARK(BM_TitleReadAgainstStrangers)
    ->Arg(0)
    ->Arg(400)
    ->Arg(4000)
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

} // namespace
