// Coin collection and selection over 1,000 and 10,000 cached coins, with the three reserve files
// and the offer locks holding 1,000 entries each. Beside them, the same work done the plain way:
// every reserve file read per coin, duplicates found by a scan of the inputs collected so far, and
// the whole transaction serialised twice for every input added. The plain collection runs at 1,000
// coins only: at 10,000 it takes about a minute.
#include "chain/broadcast.h"
#include "chain/coin_select.h"
#include "chain/coin_snapshots.h"
#include "chain/outpoints.h"
#include "chain/reserves.h"
#include "platform/fs.h"
#include "wallet/kv_cofferly_wallet.h"

#include <benchmark/benchmark.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

namespace {

const char kAddress[] = "18pBoqRpHUYf9udsab5G9LT3vQUPxEyMFf";
const char kPriv[] = "f55396199026d5ce4254e139f9eb4165f52f24eb634372fac7bdff8c075bba12";
constexpr int kReserveEntries = 1000;

std::string txid_of(int n, char fill) {
    char buf[9];
    std::snprintf(buf, sizeof buf, "%08x", n);
    return std::string(buf) + std::string(56, fill);
}

// A data folder of its own, a single-key wallet whose address holds `coins` confirmed coins of
// 1000 sats, and reserve files of 1,000 entries each (one in ten naming one of the coins).
void set_up_wallet(int coins) {
    static std::string root;
    if (root.empty()) {
        char tmpl[] = "/tmp/corvane-bench-XXXXXX";
        if (!mkdtemp(tmpl)) std::abort();
        root = tmpl;
        setenv("LOCALAPPDATA", root.c_str(), 1);
    }
    auto lock = lock_wallet();
    KvCofferlyWallet& w = kv_wallet();
    w = KvCofferlyWallet{};
    w.wallet_id = "bench";
    w.address = kAddress;
    w.priv = kPriv;
    spent_outpoints().clear();
    clear_change_coins();
    clear_coin_caches();
    last_sent_txid().clear();
    last_success_txid().clear();

    AddressCoins entry;
    entry.address = kAddress;
    entry.loaded = true;
    for (int i = 0; i < coins; ++i)
        entry.utxos.push_back({txid_of(i, 'a'), 0, 1000, 800000});
    address_coins().push_back(entry);

    using nlohmann::json;
    json bazarel = json::array(), gallery = json::array(), holds = json::array(), locks = json::array();
    for (int i = 0; i < kReserveEntries; ++i) {
        const char fill = i % 10 == 0 ? 'a' : 'b';
        bazarel.push_back({{"utxo", txid_of(i * 4, fill) + ":0"}, {"origin", "x"}, {"listing", "l"}});
        gallery.push_back({{"pic_utxo", txid_of(i * 4 + 1, fill) + "_0"}, {"pic", "p"}, {"exp", 0}});
        holds.push_back({{"utxo", txid_of(i * 4 + 2, fill) + "_0"}, {"sats", 1}});
        locks.push_back(txid_of(i * 4 + 3, fill) + "_0");
    }
    platform_write_file(bazarel_reserves_path(), json{{"reserves", bazarel}}.dump(2), true);
    platform_write_file(gallery_reserves_path(), json{{"reserves", gallery}}.dump(2), true);
    platform_write_file(tradeloom_holds_path(), json{{"holds", holds}}.dump(2), true);
    platform_write_file(offer_locks_path(), json{{"utxos", locks}}.dump(2), true);
}

std::vector<TxOutput> half_of(int coins) {
    Hash160 h{};
    address_to_hash160(kAddress, h);
    return {TxOutput{static_cast<std::uint64_t>(coins) * 500, p2pkh_script(h)}};
}

// Collection the plain way: each coin asks every reserve file and the offer locks afresh and is
// compared with every input already taken.
void collect_plain(std::vector<TxInput>& inputs) {
    inputs.clear();
    std::vector<std::string> locks;
    for (const Utxo& coin : address_coins().front().utxos) {
        if (is_outpoint_spent(coin.txid, coin.vout) || is_bazarel_reserved(coin.txid, coin.vout) ||
            is_gallery_reserved(coin.txid, coin.vout) || is_tradeloom_held(coin.txid, coin.vout))
            continue;
        load_offer_locks(locks);
        if (std::find(locks.begin(), locks.end(), reserve_key(coin.txid, coin.vout)) != locks.end()) continue;
        if (std::any_of(inputs.begin(), inputs.end(),
                        [&](const TxInput& in) { return outpoint_equal(in.txid, in.vout, coin.txid, coin.vout); }))
            continue;
        TxInput in;
        in.txid = coin.txid;
        in.vout = coin.vout;
        in.sats = static_cast<std::uint64_t>(coin.sats);
        in.height = coin.height;
        inputs.push_back(std::move(in));
    }
}

// Selection the plain way: the transaction serialised to test each input and again to size it.
std::size_t select_plain(const std::vector<TxInput>& candidates, const std::vector<TxOutput>& outputs) {
    std::vector<TxInput> chosen;
    std::uint64_t total = 0;
    const std::uint64_t sum = outputs.front().sats;
    for (const TxInput& c : candidates) {
        chosen.push_back(c);
        if (serialize_tx(chosen, outputs, true).empty()) {
            chosen.pop_back();
            continue;
        }
        total += c.sats;
        const std::size_t size = serialize_tx(chosen, outputs, true).size();
        if (total >= sum + static_cast<std::uint64_t>(fee_for_size(size + kChangeOutputBytes))) break;
    }
    return chosen.size();
}

void CollectAndSelect(benchmark::State& state) {
    const int coins = static_cast<int>(state.range(0));
    set_up_wallet(coins);
    const std::vector<TxOutput> requested = half_of(coins);
    Hash160 change{};
    for (auto _ : state) {
        std::vector<TxInput> inputs;
        std::uint64_t total = 0;
        std::string error;
        std::vector<TxOutput> outputs;
        std::int64_t fee = 0;
        if (!collect_spendable_utxos(inputs, total, error) ||
            !build_payment_tx(inputs, outputs, change, requested, fee, error))
            state.SkipWithError(error.c_str());
        benchmark::DoNotOptimize(inputs.data());
    }
    state.SetComplexityN(coins);
}

void CollectOnly(benchmark::State& state) {
    const int coins = static_cast<int>(state.range(0));
    set_up_wallet(coins);
    for (auto _ : state) {
        std::vector<TxInput> inputs;
        std::uint64_t total = 0;
        std::string error;
        collect_spendable_utxos(inputs, total, error);
        benchmark::DoNotOptimize(inputs.data());
    }
    state.SetComplexityN(coins);
}

// The spendable coins of a wallet set up with `coins` coins, collected once.
std::vector<TxInput> candidates_of_wallet(int coins) {
    set_up_wallet(coins);
    std::vector<TxInput> candidates;
    std::uint64_t total = 0;
    std::string error;
    collect_spendable_utxos(candidates, total, error);
    return candidates;
}

void SelectOnly(benchmark::State& state) {
    const int coins = static_cast<int>(state.range(0));
    const std::vector<TxInput> candidates = candidates_of_wallet(coins);
    const std::vector<TxOutput> requested = half_of(coins);
    Hash160 change{};
    for (auto _ : state) {
        std::vector<TxInput> inputs = candidates;
        std::vector<TxOutput> outputs;
        std::int64_t fee = 0;
        std::string error;
        build_payment_tx(inputs, outputs, change, requested, fee, error);
        benchmark::DoNotOptimize(inputs.data());
    }
    state.SetComplexityN(coins);
}

void CollectPlain(benchmark::State& state) {
    const int coins = static_cast<int>(state.range(0));
    set_up_wallet(coins);
    for (auto _ : state) {
        std::vector<TxInput> inputs;
        collect_plain(inputs);
        benchmark::DoNotOptimize(inputs.data());
    }
    state.SetComplexityN(coins);
}

void SelectPlain(benchmark::State& state) {
    const int coins = static_cast<int>(state.range(0));
    const std::vector<TxInput> candidates = candidates_of_wallet(coins);
    const std::vector<TxOutput> requested = half_of(coins);
    for (auto _ : state)
        benchmark::DoNotOptimize(select_plain(candidates, requested));
    state.SetComplexityN(coins);
}

} // namespace

BENCHMARK(CollectAndSelect)->Arg(1000)->Arg(10000)->Unit(benchmark::kMillisecond)->Complexity();
BENCHMARK(CollectOnly)->Arg(1000)->Arg(10000)->Unit(benchmark::kMillisecond)->Complexity();
BENCHMARK(SelectOnly)->Arg(1000)->Arg(10000)->Unit(benchmark::kMillisecond)->Complexity();
BENCHMARK(CollectPlain)->Arg(1000)->Unit(benchmark::kMillisecond)->Iterations(1);
BENCHMARK(SelectPlain)->Arg(1000)->Arg(10000)->Unit(benchmark::kMillisecond)->Iterations(1);
