// Signing speed: whole transactions of 1, 10, 100 and 500 inputs, reported per input, beside one
// signature and one verification of a 32-byte digest by the wallet's own primitives and one bare
// OpenSSL ECDSA signature. The shared FORKID hashes are made once per transaction, so the time per
// input should stay near the bare signature as inputs grow.
#include "chain/sign.h"

#include "identity/sig_primitives.h"
#include "wallet/keys.h"
#include "wallet/ossl_types.h"

#include <benchmark/benchmark.h>
#include <openssl/ec.h>

namespace {

const char kPriv[] = "f55396199026d5ce4254e139f9eb4165f52f24eb634372fac7bdff8c075bba12";
const char kPub[] = "02b57f7dd17dba181abc49d158f3921a66ea5a4ca8d106114cb51583549c12ef41";

// Time per unit of work, from a count of units over the measured time.
benchmark::Counter time_per(double units) {
    return benchmark::Counter(units, benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

// The unsigned transaction of a payment: `n` inputs of the same key, a payee and a change output.
void unsigned_tx(std::size_t n, std::vector<TxInput>& inputs, std::vector<TxOutput>& outputs) {
    inputs.clear();
    for (std::size_t i = 0; i < n; ++i) {
        TxInput in;
        in.txid = to_hex(Bytes(32, static_cast<std::uint8_t>(i)));
        in.vout = static_cast<std::uint32_t>(i);
        in.sats = 1000 + i;
        inputs.push_back(in);
    }
    Hash160 payee;
    payee.fill(0x42);
    outputs = {{static_cast<std::uint64_t>(n) * 900, p2pkh_script(payee)}, {50, op_return_script({1, 2, 3})}};
}

void BM_SignTransaction(benchmark::State& state) {
    const std::size_t n = static_cast<std::size_t>(state.range(0));
    std::vector<TxInput> inputs;
    std::vector<TxOutput> outputs;
    unsigned_tx(n, inputs, outputs);
    Hash160 change = hash160_of(from_hex(kPub));
    for (auto _ : state) {
        std::size_t failed = 0;
        if (!sign_tx_inputs(inputs, outputs, change, kPriv, kPub, &failed)) state.SkipWithError("signing failed");
        benchmark::DoNotOptimize(inputs.data());
    }
    state.counters["per_input"] = time_per(static_cast<double>(state.iterations() * n));
}
BENCHMARK(BM_SignTransaction)->Arg(1)->Arg(10)->Arg(100)->Arg(500)->Unit(benchmark::kMillisecond);

// One ECDSA signature over a 32-byte digest with a key and context made beforehand.
void BM_BareOpenSslSign(benchmark::State& state) {
    PkeyPtr key(EVP_EC_gen("secp256k1"));
    PkeyCtxPtr ctx(key ? EVP_PKEY_CTX_new(key.get(), nullptr) : nullptr);
    if (!ctx || EVP_PKEY_sign_init(ctx.get()) != 1) {
        state.SkipWithError("key setup failed");
        return;
    }
    Hash256 digest = sha256(std::string("bench"));
    unsigned char der[80];
    for (auto _ : state) {
        std::size_t len = sizeof der;
        if (EVP_PKEY_sign(ctx.get(), der, &len, digest.data(), digest.size()) != 1) state.SkipWithError("sign failed");
        benchmark::DoNotOptimize(der);
        digest[0]++;
    }
    state.counters["per_sig"] = time_per(static_cast<double>(state.iterations()));
}
BENCHMARK(BM_BareOpenSslSign)->Unit(benchmark::kMillisecond);

// One low-S DER signature of a digest from the private key's hex, as every transaction input is signed.
void BM_SignDigest(benchmark::State& state) {
    Hash256 digest = sha256(std::string("bench"));
    Bytes der;
    for (auto _ : state) {
        if (!ecdsa_sign_der(kPriv, digest.data(), der)) state.SkipWithError("sign failed");
        benchmark::DoNotOptimize(der.data());
        digest[0]++;
    }
    state.counters["per_sig"] = time_per(static_cast<double>(state.iterations()));
}
BENCHMARK(BM_SignDigest)->Unit(benchmark::kMillisecond);

// One verification of r and s against a compressed key, as an offer's inputs and a signed message
// are checked.
void BM_VerifyDigest(benchmark::State& state) {
    const Hash256 digest = sha256(std::string("bench"));
    Bytes der;
    std::array<std::uint8_t, 64> rs{};
    if (!ecdsa_sign_der(kPriv, digest.data(), der) || der.size() < 8) {
        state.SkipWithError("sign failed");
        return;
    }
    // DER: 30 len 02 rlen r 02 slen s, each half at most 33 bytes with a leading zero.
    const std::size_t rlen = der[3];
    const std::size_t slen = der[5 + rlen];
    std::copy(der.begin() + 4 + static_cast<std::ptrdiff_t>(rlen - std::min<std::size_t>(rlen, 32)),
              der.begin() + 4 + static_cast<std::ptrdiff_t>(rlen), rs.begin() + (32 - std::min<std::size_t>(rlen, 32)));
    std::copy(der.begin() + 6 + static_cast<std::ptrdiff_t>(rlen + slen - std::min<std::size_t>(slen, 32)),
              der.begin() + 6 + static_cast<std::ptrdiff_t>(rlen + slen),
              rs.begin() + 32 + (32 - std::min<std::size_t>(slen, 32)));
    const Bytes signature(rs.begin(), rs.end());
    const Bytes pubkey = from_hex(kPub);
    if (!ecdsa_verify_digest(digest, signature, pubkey)) {
        state.SkipWithError("verify failed");
        return;
    }
    for (auto _ : state) {
        benchmark::DoNotOptimize(ecdsa_verify_digest(digest, signature, pubkey));
    }
    state.counters["per_verify"] = time_per(static_cast<double>(state.iterations()));
}
BENCHMARK(BM_VerifyDigest)->Unit(benchmark::kMillisecond);

} // namespace
