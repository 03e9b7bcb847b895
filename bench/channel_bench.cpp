// The shared point of the report channel: the X coordinate of a private key times the peer's key,
// for a key of 1, a key below 2^64 and a random key. The key is secret, so the three times should
// stay within a few percent of one another.
#include "wallet/codecs.h"
#include "wallet/curve.h"

#include <benchmark/benchmark.h>

namespace {

const char* const kKeys[] = {
    "0000000000000000000000000000000000000000000000000000000000000001",
    "00000000000000000000000000000000000000000000000000c3a5f0e1d2b497",
    "f55396199026d5ce4254e139f9eb4165f52f24eb634372fac7bdff8c075bba12",
};
const char kPeer[] = "02b57f7dd17dba181abc49d158f3921a66ea5a4ca8d106114cb51583549c12ef41";

void BM_ReportSharedPoint(benchmark::State& state) {
    const Bytes priv = from_hex(kKeys[state.range(0)]);
    const Bytes peer = from_hex(kPeer);
    std::array<std::uint8_t, 32> x{};
    for (auto _ : state) {
        if (!curve_shared_x(priv.data(), peer.data(), peer.size(), x)) state.SkipWithError("no shared point");
        benchmark::DoNotOptimize(x.data());
    }
    // Microseconds per point: a rate of millionths, inverted.
    state.counters["per_point_us"] = benchmark::Counter(static_cast<double>(state.iterations()) * 1e-6,
                                                        benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_ReportSharedPoint)->ArgName("key")->Arg(0)->Arg(1)->Arg(2);

} // namespace
