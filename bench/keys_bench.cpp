// Key derivation speed: one public key, one BIP32 child, one path derived the long way (five child
// steps), one path through the prefix cache, a wallet's first listing of 20,000 receive addresses,
// and the hash160 look-up of a wallet with 400 receive addresses, cold and warm, beside the same
// look-up done by plain re-derivation.
#include "support/wallet_fixture.h"
#include "wallet/crypto.h"
#include "wallet/keys.h"

#include <benchmark/benchmark.h>

#include <cstring>

namespace {

constexpr std::uint32_t kReceiveCount = 400;

KeyPath receive_path(std::uint32_t index) {
    return {kPurpose, kCoinType, kReceiveAccount | kHardened, 0, index};
}

// A loaded wallet with its master key cached and `recv`[1] = 400.
void load_bench_wallet() {
    reset_wallet_state_for_tests();
    KvCofferlyWallet& w = kv_wallet();
    w.is_hd = true;
    w.mnemonic = kTestMnemonic;
    w.recv[1] = kReceiveCount;
    std::string priv, pub, address;
    derive_path(receive_path(0), priv, pub, address);
}

// One path from the master key with five child derivations, public key and address: the work
// of a derivation without any key cache.
bool derive_uncached(const KeyPath& path, std::string& address) {
    const KvCofferlyWalletSecrets& s = kv_wallet().secrets;
    std::array<std::uint8_t, 64> ext{};
    std::memcpy(ext.data(), s.master_key.data(), 32);
    std::memcpy(ext.data() + 32, s.master_chain.data(), 32);
    for (std::uint32_t index : path) {
        std::array<std::uint8_t, 64> child{};
        if (!bip32_ckd_priv(ext, index, child)) return false;
        ext = child;
    }
    std::string pub;
    if (!priv_hex_to_pub_hex(to_hex(ext.data(), 32), pub)) return false;
    address = pub_hex_to_address(pub);
    wipe(ext.data(), ext.size());
    return !address.empty();
}

Hash160 receive_hash(std::uint32_t index) {
    std::string priv, pub, address;
    derive_path(receive_path(index), priv, pub, address);
    Hash160 h{};
    address_to_hash160(address, h);
    return h;
}

// The compressed public key of one private key.
void BM_DerivePublicKey(benchmark::State& state) {
    std::array<std::uint8_t, 32> key{};
    key.fill(0x11);
    for (auto _ : state) {
        std::string pub;
        benchmark::DoNotOptimize(priv_hex_to_pub_hex(to_hex(key.data(), key.size()), pub));
        key[31]++;
    }
    state.counters["per_key"] = benchmark::Counter(static_cast<double>(state.iterations()),
                                                   benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_DerivePublicKey)->Unit(benchmark::kMillisecond);

// One normal (non-hardened) BIP32 child of a private parent: the parent's public key, the HMAC and
// the scalar addition.
void BM_DeriveChildKey(benchmark::State& state) {
    std::array<std::uint8_t, 64> parent{};
    parent.fill(0x22);
    std::uint32_t i = 0;
    for (auto _ : state) {
        std::array<std::uint8_t, 64> child{};
        benchmark::DoNotOptimize(bip32_ckd_priv(parent, i++ % 1000, child));
        wipe(child.data(), child.size());
    }
    state.counters["per_key"] = benchmark::Counter(static_cast<double>(state.iterations()),
                                                   benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_DeriveChildKey)->Unit(benchmark::kMillisecond);

// The receive addresses of a 20,000-address wallet listed for the first time after loading, as the
// first balance scan of a session lists them: every key derived, none kept from before.
void BM_DeriveReceiveAddresses20000(benchmark::State& state) {
    constexpr std::uint32_t kAddresses = 20000;
    for (auto _ : state) {
        state.PauseTiming();
        load_bench_wallet();
        kv_wallet().recv[kReceiveAccount] = kAddresses - 1;
        wipe_derived_key_caches(kv_wallet().secrets);
        state.ResumeTiming();
        const AccountAddresses listed = account_addresses(kReceiveAccount);
        if (listed.count != kAddresses) state.SkipWithError("listing failed");
        benchmark::DoNotOptimize(listed.list);
    }
    state.counters["per_address"] = benchmark::Counter(static_cast<double>(state.iterations() * kAddresses),
                                                       benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_DeriveReceiveAddresses20000)->Unit(benchmark::kMillisecond)->Iterations(1);

void BM_DeriveFiveSteps(benchmark::State& state) {
    load_bench_wallet();
    std::uint32_t i = 0;
    for (auto _ : state) {
        std::string address;
        benchmark::DoNotOptimize(derive_uncached(receive_path(i++ % 1000), address));
    }
    state.counters["derivations/s"] =
        benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_DeriveFiveSteps)->Unit(benchmark::kMillisecond);

void BM_DerivePathThroughPrefix(benchmark::State& state) {
    load_bench_wallet();
    std::uint32_t i = 0;
    for (auto _ : state) {
        state.PauseTiming();
        // Keep the prefix, drop the finished keys so each iteration derives a new child.
        for (auto& entry : kv_wallet().secrets.derived)
            wipe(entry.second.priv_hex);
        kv_wallet().secrets.derived.clear();
        state.ResumeTiming();
        std::string priv, pub, address;
        benchmark::DoNotOptimize(derive_path(receive_path(i++ % 1000), priv, pub, address));
    }
    state.counters["derivations/s"] =
        benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_DerivePathThroughPrefix)->Unit(benchmark::kMillisecond);

// The look-up as plain re-derivation does it: ordinals index 0, the identity, then receive
// indices up to the match at 399.
void BM_FindKeyByRederiving(benchmark::State& state) {
    load_bench_wallet();
    std::string want;
    derive_uncached(receive_path(kReceiveCount - 1), want);
    for (auto _ : state) {
        std::string address;
        derive_uncached({kPurpose, kCoinType, kOrdinalsAccount | kHardened, 0, 0}, address);
        derive_uncached(kIdentityPath, address);
        for (std::uint32_t i = 0; i < kReceiveCount; ++i) {
            derive_uncached(receive_path(i), address);
            if (address == want) break;
        }
        benchmark::DoNotOptimize(address);
    }
}
BENCHMARK(BM_FindKeyByRederiving)->Unit(benchmark::kMillisecond)->Iterations(3);

void BM_FindKeyFirstCall(benchmark::State& state) {
    load_bench_wallet();
    const Hash160 want = receive_hash(kReceiveCount - 1);
    for (auto _ : state) {
        state.PauseTiming();
        wipe_derived_key_caches(kv_wallet().secrets);
        state.ResumeTiming();
        std::string priv, pub;
        benchmark::DoNotOptimize(find_key_for_hash160(want, priv, pub));
    }
}
BENCHMARK(BM_FindKeyFirstCall)->Unit(benchmark::kMillisecond)->Iterations(5);

void BM_FindKeyLaterCalls(benchmark::State& state) {
    load_bench_wallet();
    const Hash160 want = receive_hash(kReceiveCount - 1);
    std::string priv, pub;
    find_key_for_hash160(want, priv, pub);
    for (auto _ : state) {
        benchmark::DoNotOptimize(find_key_for_hash160(want, priv, pub));
    }
}
BENCHMARK(BM_FindKeyLaterCalls)->Unit(benchmark::kMicrosecond);

} // namespace
