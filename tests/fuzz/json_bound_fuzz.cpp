// libFuzzer target for the bounded JSON parse (optional, not run by CI; the engine tests hold a
// seeded mutation test of the same rule). Build with clang:
//   clang++ -std=c++17 -g -O1 -fsanitize=fuzzer,address,undefined -I. -Itests \
//       tests/fuzz/json_bound_fuzz.cpp wallet/json_util.cpp -o json_bound_fuzz
// and run ./json_bound_fuzz -max_len=200000.
#include "support/json_depth.h"
#include "wallet/json_util.h"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    nlohmann::json out;
    std::string error;
    const bool ok = json_parse_bounded(text, out, error);
    const int depth = json_sax_depth(text);
    if (ok != (depth >= 0 && depth <= kJsonMaxDepth)) std::abort();
    if (ok) {
        // Within the bound, copying and writing back must be safe.
        const nlohmann::json copy = out;
        if (nlohmann::json::parse(copy.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace), nullptr, false)
                .is_discarded())
            std::abort();
    }
    return 0;
}
