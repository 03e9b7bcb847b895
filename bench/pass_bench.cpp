// A Pass of a paired artwork to a platform paymail as the user's click runs it, against the fake
// services with 80 ms added to every request, WhatsOnChain unlimited or at its free rate with the
// shipped pace (the argument). Reports the wall time, the requests each service answered and those
// WhatsOnChain refused.
#include "art/art_pass.h"
#include "art/art_records.h"
#include "art/pairing.h"
#include "chain/inscription.h"
#include "fakes/chain_fixture.h"
#include "fakes/fake_gorillapool.h"
#include "fakes/fake_identity.h"
#include "fakes/fake_paymail.h"
#include "fakes/registry_fixture.h"
#include "identity/identity_lookup.h"
#include "support/temp_dir.h"
#include "support/wallet_fixture.h"
#include "wallet/keys.h"
#include "wallet/kv_cofferly_wallet.h"
#include "wallet/registry.h"

#include <benchmark/benchmark.h>

#include <chrono>
#include <memory>
#include <string>

namespace {

constexpr int kDelayMs = 80;
const std::string kArtBytes = "\x89PNG artwork bytes";

void BM_Pass(benchmark::State& state) {
    TempDataDir data_dir;
    for (auto _ : state) {
        state.PauseTiming();
        auto chain = std::make_unique<FakeChain>();
        auto gp = std::make_unique<FakeGorillaPool>(chain->ledger);
        FakeIdentity ids;
        serve_fake_identity(chain->platform, ids);
        FakePaymail paymail;
        serve_fake_paymail(chain->platform, paymail);
        clear_identity_cache();
        set_service_settings(settings_for(*chain, *gp));
        reset_chain_session_for_tests();
        write_test_wallet_file("w1");
        load_wallet_id("w1");
        std::string identity;
        Hash160 ord_hash{};
        {
            WalletLock lock = lock_wallet();
            kv_wallet().paymail = "alice";
            identity = kv_wallet().identity_pub;
            ord_hash = test_hash_of(derive_ordinals_key());
            chain->ledger.fund(kv_wallet().address, 1000000);
        }
        ids.set_key("alice@kestrava.net", identity);
        const TestKey bob = test_key_from_byte(0x22);
        ids.set_key("bob@kestrava.net", bob.pub);
        paymail.set(&FakePaymailTables::address, "bob@kestrava.net", json_reply({{"ordAddress", bob.address}}));
        const std::string art = fake_inscribe(*chain, ord_hash, "image/png", kArtBytes);
        const std::string cert =
            fake_inscribe(*chain, ord_hash, "application/json",
                          nlohmann::json{{"pic", art}, {"sha256", sha256_hex(kArtBytes)}, {"artist", identity}}.dump());
        const std::string paired = art_pair_artwork(art, cert);
        chain->ledger.mine();
        if (paired.rfind("success: ", 0) != 0) state.SkipWithError(paired.c_str());
        if (state.range(0) != 0) limit_woc_to_free_rate(*chain);
        FakeFault slow;
        slow.delay_ms = kDelayMs;
        for (FakeServer* server : {&chain->woc, &chain->arc, &chain->platform, &gp->server}) {
            server->set_fault("", slow);
            server->reset_counts();
        }
        state.ResumeTiming();

        const auto begin = std::chrono::steady_clock::now();
        const std::string passed = art_pass_to_paymail(art, "bob@kestrava.net");
        const double wall_ms =
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - begin).count();

        state.PauseTiming();
        if (passed.rfind("success: ", 0) != 0) state.SkipWithError(passed.c_str());
        state.counters["wall_ms"] = wall_ms;
        state.counters["woc"] = chain->woc.request_count();
        state.counters["woc_refused"] = chain->woc.rate_limited_count();
        state.counters["gorillapool"] = gp->server.request_count();
        state.counters["platform"] = chain->platform.request_count();
        state.counters["arc"] = chain->arc.request_count();
        drop_platform_session();
        clear_identity_cache();
        gp.reset();
        chain.reset();
        state.ResumeTiming();
    }
}
BENCHMARK(BM_Pass)->ArgName("free_rate")->Arg(0)->Arg(1)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

} // namespace
