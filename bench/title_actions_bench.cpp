// What each step that moves money or a title costs as the window runs it: the artist's Pair, a
// gallery sale from ask to completion (Accept, Pay, Complete), the buyer passing the artwork on,
// and a stranger looking it up by its id. Each step runs in a fresh process of the party that
// clicks (its own data folder), after the Refresh the window runs at its start, at WhatsOnChain's
// free rate as the shipped program paces itself; the rows give the WhatsOnChain requests of the
// step alone (CORVANE_BENCH_PATHS=raw prints what each one read). The arguments: the receive
// counter of carol's and dave's wallets (0, or 20,000 or 100,000 addresses each, all listed once in their data
// folders before); strangers' payments at each registry watch between the artwork's inscription
// and its pair, which the buyer's program, new to them, has never read (the artist's read them
// when pairing); and whether the Refresh before each step is the window's whole Refresh (1) or its
// gallery read alone (0). Each step also reports the longest any other thread waited for the
// wallet mutex while it ran; the `refresh_` figures are the costliest Refresh's before a step.
#include "art/art_pass.h"
#include "art/art_records.h"
#include "art/gallery_frames.h"
#include "art/gallery_sale.h"
#include "art/ownership.h"
#include "art/pairing.h"
#include "art/title_chain.h"
#include "art/window_reads.h"
#include "bench/bench_paths.h"
#include "bench/mutex_probe.h"
#include "chain/inscription.h"
#include "chain/tx_store.h"
#include "chain/woc_client.h"
#include "fakes/chain_fixture.h"
#include "fakes/fake_gorillapool.h"
#include "fakes/fake_identity.h"
#include "fakes/fake_oracle.h"
#include "fakes/registry_fixture.h"
#include "fakes/secp_check.h"
#include "identity/identity_lookup.h"
#include "identity/typed_sign.h"
#include "support/temp_dir.h"
#include "support/wallet_fixture.h"
#include "support/wallet_reset.h"
#include "wallet/clock.h"
#include "wallet/codecs.h"
#include "wallet/host_pace.h"
#include "wallet/kv_cofferly_wallet.h"
#include "wallet/registry.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr std::int32_t kSpot = 4;
constexpr std::int64_t kPrice = 1000;
const std::string kArtBytes = "\x89PNG carol's artwork";

// One user's program: its wallet and its own data folder, as on its own machine.
struct Party {
    std::string id, alias, identity, receive, ord;
    std::string root; // the folder its data folder lies in (LOCALAPPDATA)
};

struct Sale {
    std::unique_ptr<FakeChain> chain = std::make_unique<FakeChain>();
    std::unique_ptr<FakeGorillaPool> gp = std::make_unique<FakeGorillaPool>(chain->ledger);
    FakeIdentity ids;
    TempDataDir carol_dir, dave_dir, eve_dir;
    Party carol{"w1", "carol", "", "", "", carol_dir.root}, dave{"w2", "dave", "", "", "", dave_dir.root},
        eve{"w3", "eve", "", "", "", eve_dir.root};
    std::string art, cert;
    std::vector<SpotLoad> shown; // the frames the last Refresh showed
    int refresh_woc = 0;         // the most WhatsOnChain requests of a Refresh before a step
    double refresh_wait_ms = 0;  // the longest wait for the wallet mutex during one
    bool gallery_only = false;   // the Refresh before a step reads the gallery alone

    explicit Sale(std::uint32_t counter = 0) {
        serve_fake_identity(chain->platform, ids);
        clear_identity_cache();
        set_service_settings(settings_for(*chain, *gp));
        reset_chain_session_for_tests();
        test_set_env("LOCALAPPDATA", carol.root);
        write_test_wallet_file("w1", counter);
        test_set_env("LOCALAPPDATA", dave.root);
        write_wallet("w2", "legal winner thank year wave sausage worth useful legal winner thank yellow", counter);
        test_set_env("LOCALAPPDATA", eve.root);
        write_wallet("w3", "letter advice cage absurd amount doctor acoustic avoid letter advice cage above");
        for (Party* p : {&carol, &dave, &eve}) {
            become(*p);
            for (int i = 0; i < 5; ++i)
                chain->ledger.fund(p->receive, 60000);
        }
        chain->ledger.fund(carol.receive, 1000000);
    }
    ~Sale() {
        drop_platform_session();
        reset_chain_session_for_tests();
        clear_identity_cache();
    }

    static void write_wallet(const std::string& id, const std::string& mnemonic, std::uint32_t counter = 0) {
        test_write_file(wallet_file_path_for_id(id),
                        nlohmann::json{{"mnemonic", mnemonic}, {"recv", {0, counter, 0, 0, 0, 0}}}.dump());
    }
    // The party's program starts afresh: nothing remembered but what its data folder kept. Records
    // are dated in whole seconds, so each step comes a second after the one before.
    void become(Party& p) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1050));
        test_set_env("LOCALAPPDATA", p.root);
        host_pace_start_run();
        reset_chain_session_for_tests();
        title_memory_forget();
        tx_store_clear();
        woc_cache_clear();
        gallery_cache_clear();
        clear_identity_cache();
        reset_wallet_state_for_tests();
        load_wallet_id(p.id);
        WalletLock lock = lock_wallet();
        kv_wallet().paymail = p.alias;
        p.identity = kv_wallet().identity_pub;
        p.receive = kv_wallet().address;
        p.ord = derive_ordinals_key();
        ids.set_key(p.alias + "@kestrava.net", p.identity);
    }
    SpotFrame frame() const {
        if (shown.size() < static_cast<std::size_t>(kSpot)) return SpotFrame{};
        return shown[kSpot - 1];
    }
    static bool succeeded(const std::string& result) { return result.rfind("success: ", 0) == 0; }

    // Carol inscribes her artwork and its certificate; then strangers pay each registry watch.
    void inscribe(std::uint64_t strangers) {
        become(carol);
        art = fake_inscribe(*chain, test_hash_of(carol.ord), "image/png", kArtBytes);
        cert = fake_inscribe(
            *chain, test_hash_of(carol.ord), "application/json",
            nlohmann::json{{"pic", art}, {"sha256", sha256_hex(kArtBytes)}, {"artist", carol.identity}}.dump());
        chain->ledger.mine();
        if (strangers == 0) return;
        for (const char* watch : {kTitleWatchAddress, kPairWatchAddress})
            chain->ledger.add_payments(watch, strangers);
    }
    // Carol hangs her paired artwork; dave asks for it. "" or what went wrong.
    std::string hang_and_ask() {
        become(carol);
        nlohmann::json show = new_art_message("art_show");
        show.update({{"spot", spot_label(kSpot)},
                     {"pic", art},
                     {"cert", cert},
                     {"sha256", sha256_hex(kArtBytes)},
                     {"price", std::to_string(kPrice)},
                     {"pay_addr", carol.receive}});
        std::string posted = gallery_sign_and_post(show, spot_row(kSpot).watch);
        if (!succeeded(posted)) return "hanging: " + posted;
        chain->ledger.mine();
        become(dave);
        nlohmann::json ask = new_art_message("art_gask");
        ask.update({{"spot", spot_label(kSpot)},
                    {"pic", art},
                    {"price_sats", kPrice},
                    {"buyer", dave.identity},
                    {"buyer_ord", dave.ord}});
        posted = gallery_sign_and_post(ask, spot_row(kSpot).watch);
        if (!succeeded(posted)) return "ask: " + posted;
        chain->ledger.mine();
        return "";
    }
};

// With CORVANE_BENCH_PATHS set, the step's requests as print_paths folds them; set to "raw", each
// request as it was sent, so that a transaction read twice shows.
void print_step_paths(const char* name, const FakeServer& woc) {
    const char* paths = std::getenv("CORVANE_BENCH_PATHS");
    if (!paths) return;
    std::fprintf(stderr, "%s:\n", name);
    if (std::string(paths) != "raw") return print_paths("woc", woc);
    for (const FakeRequest& request : woc.requests()) {
        std::string query;
        for (const auto& [key, value] : request.query)
            query += (query.empty() ? "?" : "&") + key + "=" + value;
        std::fprintf(stderr, "  %s %s%s %zu\n", request.method.c_str(), request.path.c_str(), query.c_str(),
                     request.body.size());
    }
}

// The window's Refresh: the balance beside the art rows, then the gallery. With `gallery_only`,
// the gallery alone, as a click meets it when the user acts on a frame while the balance and the
// art rows are still being read (or after their listings have aged).
void window_refresh(std::vector<SpotLoad>& spots, bool gallery_only = false) {
    if (gallery_only) {
        std::set<std::string> closed;
        read_gallery(spots, closed);
        return;
    }
    std::thread balance([] {
        std::int64_t sats = 0;
        read_window_balance(sats);
    });
    std::vector<KvCofferlyOrdRow> rows;
    bool index_read = false;
    read_art_rows(rows, index_read);
    std::set<std::string> closed;
    read_gallery(spots, closed);
    balance.join();
}

// One step in the clicking party's fresh program, after the window's first Refresh: the
// WhatsOnChain requests of the step alone, and its result.
template <typename Step>
std::string step(Sale& sale, Party& party, bool refresh_first, const Step& run, int& woc, double& waited_ms,
                 const char* name) {
    sale.become(party);
    if (refresh_first) {
        sale.chain->woc.reset_counts();
        MutexWaitProbe probe;
        probe.start();
        window_refresh(sale.shown, sale.gallery_only);
        sale.refresh_wait_ms = std::max(sale.refresh_wait_ms, probe.finish_ms());
        sale.refresh_woc = std::max(sale.refresh_woc, sale.chain->woc.request_count());
    }
    sale.chain->woc.reset_counts();
    MutexWaitProbe probe;
    probe.start();
    const std::string result = run();
    waited_ms = probe.finish_ms();
    woc = sale.chain->woc.request_count();
    print_step_paths(name, sale.chain->woc);
    sale.chain->ledger.mine();
    return Sale::succeeded(result) ? std::string() : std::string(name) + ": " + result;
}

void BM_TitleActionsAsTheWindowRunsThem(benchmark::State& state) {
    int pair = 0, accept = 0, pay = 0, complete = 0, pass = 0, lookup = 0, refresh = 0;
    double refresh_wait = 0, pair_wait = 0, accept_wait = 0, pay_wait = 0, complete_wait = 0, pass_wait = 0,
           lookup_wait = 0;
    std::string failure;
    for (auto _ : state) {
        TempDataDir data_dir;
        Sale sale(static_cast<std::uint32_t>(state.range(0)));
        const auto strangers = static_cast<std::uint64_t>(state.range(1));
        sale.gallery_only = state.range(2) == 0;
        sale.inscribe(strangers);
        // A large wallet's addresses were listed in its data folder on an earlier day: each party's
        // program has refreshed once before, without the pace.
        for (Party* p : {&sale.carol, &sale.dave})
            if (state.range(0) > 0) {
                sale.become(*p);
                window_refresh(sale.shown);
            }
        // Among strangers the artist's Pair is the set-up, read without the pace.
        if (strangers == 0) limit_woc_to_free_rate(*sale.chain);
        failure = step(
            sale, sale.carol, true, [&] { return art_pair_artwork(sale.art, sale.cert); }, pair, pair_wait, "pair");
        limit_woc_to_free_rate(*sale.chain);
        if (failure.empty()) failure = sale.hang_and_ask();
        if (failure.empty())
            failure = step(
                sale, sale.carol, true, [&] { return gallery_accept_ask(kSpot, sale.dave.identity); }, accept,
                accept_wait, "accept");
        // The frame as the seller's program shows it: the terms the buyer was shown where his own
        // Refresh left the frame's title unread.
        SpotFrame published;
        if (failure.empty()) published = load_spot(kSpot - 1, clock_system_ms() / 1000);
        if (failure.empty())
            failure = step(
                sale, sale.dave, true,
                [&] {
                    // The sale window pays on the terms the Refresh showed.
                    const SpotFrame f = sale.frame().reading.empty() ? sale.frame() : published;
                    std::string accept_txid;
                    for (const SpotAccept& a : f.accepts)
                        if (a.buyer == sale.dave.identity) accept_txid = a.txid;
                    return gallery_fund_offer(kSpot, f.show_txid, f.price, accept_txid);
                },
                pay, pay_wait, "pay");
        if (failure.empty())
            failure = step(
                sale, sale.carol, true,
                [&] {
                    const SpotFrame f = sale.frame();
                    return gallery_complete_sale(kSpot, "", f.show_txid, sale.dave.identity);
                },
                complete, complete_wait, "complete");
        if (failure.empty())
            failure = step(
                sale, sale.dave, true, [&] { return art_pass_to_paymail(sale.art, "eve", sale.eve.ord); }, pass,
                pass_wait, "pass");
        if (failure.empty())
            failure = step(
                sale, sale.eve, true,
                [&] {
                    const std::string report = art_lookup_by_id(sale.art);
                    return report.find("Live owner") == 0 ? "success: " + report : report;
                },
                lookup, lookup_wait, "look-up");
        refresh = sale.refresh_woc;
        refresh_wait = sale.refresh_wait_ms;
    }
    if (!failure.empty()) state.SkipWithError(failure.c_str());
    state.counters["pair_woc"] = pair;
    state.counters["accept_woc"] = accept;
    state.counters["pay_woc"] = pay;
    state.counters["complete_woc"] = complete;
    state.counters["pass_woc"] = pass;
    state.counters["lookup_woc"] = lookup;
    state.counters["refresh_woc"] = refresh;
    state.counters["refresh_mutex_wait_ms"] = refresh_wait;
    state.counters["pair_mutex_wait_ms"] = pair_wait;
    state.counters["accept_mutex_wait_ms"] = accept_wait;
    state.counters["pay_mutex_wait_ms"] = pay_wait;
    state.counters["complete_mutex_wait_ms"] = complete_wait;
    state.counters["pass_mutex_wait_ms"] = pass_wait;
    state.counters["lookup_mutex_wait_ms"] = lookup_wait;
}
BENCHMARK(BM_TitleActionsAsTheWindowRunsThem)
    ->ArgNames({"receive_counter", "strangers", "whole_refresh"})
    ->Args({0, 0, 1})
    ->Args({0, 0, 0})
    ->Args({20000, 0, 1})
    ->Args({20000, 0, 0})
    ->Args({100000, 0, 1})
    ->Args({0, 10000, 1})
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// Each party's program makes this many Refreshes, started afresh before each one, before it acts.
constexpr int kRefreshesEach = 3;

bool names(const std::string& key, const std::string& identity) {
    std::string lower = identity;
    for (char& c : lower)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return key == lower;
}

// A sale under way in carol's frame (dave asked, she accepted) when strangers pay each registry
// watch the second argument's times and one of them hangs over her frame the first argument's old
// inscriptions of his, never paired; with the third argument 1 he hangs one more before each
// Refresh. At WhatsOnChain's free rate as the shipped program paces itself, dave's program makes
// kRefreshesEach Refreshes, started afresh before each (`shown`: those that showed her hanging with
// her acceptance; `refreshes`: the first that did, 0 for none), then pays from the last one's frame
// when it showed the sale (`pay_woc`, -1 when not); carol's likewise until her offer shows
// (`complete_shown`, `complete_refreshes`), then she completes (`complete_woc`). `pay_ok` and
// `complete_ok` tell whether each step passed.
void BM_SaleUnderJunkHanging(benchmark::State& state) {
    const auto junk = static_cast<std::size_t>(state.range(0));
    const auto payments = static_cast<std::uint64_t>(state.range(1));
    const bool one_more = state.range(2) == 1;
    int refreshes = 0, complete_refreshes = 0, shown = 0, complete_shown = 0, pay = -1, complete = -1;
    bool pay_ok = false, complete_ok = false;
    std::string failure;
    // One sale from set-up to completion; it stops at the first step that cannot go on.
    const auto sell = [&] {
        TempDataDir data_dir;
        Sale sale;
        Hash160 bob_hash{};
        bob_hash.fill(0x22);
        sale.ids.set_key("bob@kestrava.net", secp_pubkey_hex(Bytes(32, 0x22)));
        std::vector<std::string> junk_art;
        for (std::size_t i = 0; i < junk + (one_more ? 2 * kRefreshesEach : 0); ++i)
            junk_art.push_back(
                fake_inscribe(*sale.chain, bob_hash, "image/png", "png-bytes junk " + std::to_string(i)));
        std::size_t hung = 0;
        const auto hang_junk = [&] {
            if (hung >= junk_art.size()) return;
            fake_post_record(*sale.chain, spot_row(kSpot).watch,
                             fake_signed_record(fake_art_record("art_show", "bob", clock_system_ms() / 1000,
                                                                {{"spot", spot_label(kSpot)},
                                                                 {"pic", junk_art[hung++]},
                                                                 {"cert", std::string(64, 'c')},
                                                                 {"sha256", std::string(64, 'e')},
                                                                 {"price", "9"},
                                                                 {"pay_addr", "1Pay"}}),
                                                0x22));
            sale.chain->ledger.mine();
        };
        sale.inscribe(0);
        int ignored = 0;
        double ignored_ms = 0;
        failure = step(
            sale, sale.carol, false, [&] { return art_pair_artwork(sale.art, sale.cert); }, ignored, ignored_ms,
            "pair");
        if (failure.empty()) failure = sale.hang_and_ask();
        if (failure.empty())
            failure = step(
                sale, sale.carol, true, [&] { return gallery_accept_ask(kSpot, sale.dave.identity); }, ignored,
                ignored_ms, "accept");
        const std::string show_txid = sale.frame().show_txid;
        if (!failure.empty()) return;

        for (const char* watch : {kTitleWatchAddress, kPairWatchAddress})
            sale.chain->ledger.add_payments(watch, payments);
        sale.chain->ledger.mine();
        for (std::size_t i = 0; i < junk; ++i)
            hang_junk();
        limit_woc_to_free_rate(*sale.chain);

        // The party's Refreshes: how many showed the sale with what `ready` looks for, and the first.
        const auto refresh_each = [&](Party& party, const std::function<bool(const SpotFrame&)>& ready, int& first,
                                      int& count) {
            bool last = false;
            for (int n = 1; n <= kRefreshesEach; ++n) {
                if (one_more) hang_junk();
                sale.become(party);
                window_refresh(sale.shown);
                const SpotFrame f = sale.frame();
                last = f.shown && f.show_txid == show_txid && ready(f);
                if (last && first == 0) first = n;
                count += last ? 1 : 0;
            }
            return last;
        };
        if (!refresh_each(
                sale.dave,
                [&](const SpotFrame& f) {
                    for (const SpotAccept& a : f.accepts)
                        if (names(a.buyer, sale.dave.identity)) return true;
                    return false;
                },
                refreshes, shown))
            return;
        {
            const SpotFrame f = sale.frame();
            std::string accept_txid;
            for (const SpotAccept& a : f.accepts)
                if (names(a.buyer, sale.dave.identity)) accept_txid = a.txid;
            sale.chain->woc.reset_counts();
            const std::string result = gallery_fund_offer(kSpot, f.show_txid, f.price, accept_txid);
            pay = sale.chain->woc.request_count();
            print_step_paths("pay", sale.chain->woc);
            pay_ok = Sale::succeeded(result);
            if (!pay_ok) failure = "pay: " + result;
            sale.chain->ledger.mine();
        }
        if (!pay_ok) return;

        if (!refresh_each(
                sale.carol,
                [&](const SpotFrame& f) {
                    for (const SpotFunded& o : f.funded)
                        if (names(o.buyer, sale.dave.identity)) return true;
                    return false;
                },
                complete_refreshes, complete_shown))
            return;
        sale.chain->woc.reset_counts();
        const std::string result = gallery_complete_sale(kSpot, "", sale.frame().show_txid, sale.dave.identity);
        complete = sale.chain->woc.request_count();
        print_step_paths("complete", sale.chain->woc);
        complete_ok = Sale::succeeded(result);
        if (!complete_ok) failure = "complete: " + result;
        sale.chain->ledger.mine();
    };
    for (auto _ : state)
        sell();
    if (!failure.empty()) std::fprintf(stderr, "BM_SaleUnderJunkHanging: %s\n", failure.c_str());
    state.counters["refreshes"] = refreshes;
    state.counters["shown"] = shown;
    state.counters["pay_woc"] = pay;
    state.counters["pay_ok"] = pay_ok ? 1 : 0;
    state.counters["complete_refreshes"] = complete_refreshes;
    state.counters["complete_shown"] = complete_shown;
    state.counters["complete_woc"] = complete;
    state.counters["complete_ok"] = complete_ok ? 1 : 0;
}
BENCHMARK(BM_SaleUnderJunkHanging)
    ->ArgNames({"junk", "payments", "one_more"})
    ->ArgsProduct({{0, 1, 2, 6}, {4000, 20000}, {0}})
    ->ArgsProduct({{1}, {4000, 20000}, {1}})
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

} // namespace
