// libFuzzer target for the bounded JSON parse (optional, not run by CI; the engine tests hold a
// seeded mutation test of the same rule). Build with clang:
//   clang++ -std=c++17 -g -O1 -fsanitize=fuzzer,address,undefined -I. \
//       tests/fuzz/json_bound_fuzz.cpp wallet/json_util.cpp -o json_bound_fuzz
// and run ./json_bound_fuzz -max_len=200000.
#include "wallet/json_util.h"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <cstdlib>
#include <string>

namespace {

// Deepest nesting by the library's event parser, which keeps its own stack; -1 for text that is
// not JSON.
struct Depth : nlohmann::json::json_sax_t {
    int depth = 0, deepest = 0;
    bool open() {
        if (++depth > deepest) deepest = depth;
        return true;
    }
    bool close() {
        --depth;
        return true;
    }
    bool null() override { return true; }
    bool boolean(bool) override { return true; }
    bool number_integer(number_integer_t) override { return true; }
    bool number_unsigned(number_unsigned_t) override { return true; }
    bool number_float(number_float_t, const string_t&) override { return true; }
    bool string(string_t&) override { return true; }
    bool binary(binary_t&) override { return true; }
    bool start_object(std::size_t) override { return open(); }
    bool key(string_t&) override { return true; }
    bool end_object() override { return close(); }
    bool start_array(std::size_t) override { return open(); }
    bool end_array() override { return close(); }
    bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) override { return false; }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    nlohmann::json out;
    std::string error;
    const bool ok = json_parse_bounded(text, out, error);
    Depth sax;
    const bool valid = nlohmann::json::sax_parse(text, &sax);
    if (ok != (valid && sax.deepest <= kJsonMaxDepth)) std::abort();
    if (ok) {
        // Within the bound, copying and writing back must be safe.
        const nlohmann::json copy = out;
        if (nlohmann::json::parse(copy.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace), nullptr, false)
                .is_discarded())
            std::abort();
    }
    return 0;
}
