// The deepest nesting of a JSON text as the JSON library's own event parser sees it: that parser
// keeps its own stack instead of recursing, so it measures any depth safely. The tests compare the
// engine's bounded parse against it.
#pragma once

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstddef>
#include <string>

// -1 when the text is not JSON.
inline int json_sax_depth(const std::string& text) {
    struct Depth : nlohmann::json::json_sax_t {
        int depth = 0, deepest = 0;
        bool open() {
            deepest = std::max(deepest, ++depth);
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
    } sax;
    return nlohmann::json::sax_parse(text, &sax) ? sax.deepest : -1;
}
