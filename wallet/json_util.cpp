#include "wallet/json_util.h"

#include <nlohmann/json.hpp>

#include <limits>

using nlohmann::json;

namespace {

// What a cheap scan of a text finds before anything is parsed: the deepest nesting (stopping once
// past kJsonMaxDepth), the arrays and objects, and the separators that each add one more value.
struct JsonShape {
    bool too_deep = false;
    std::size_t containers = 0;
    std::size_t separators = 0;
};

JsonShape json_shape(const char* text, std::size_t size) {
    JsonShape shape;
    int depth = 0;
    bool in_string = false;
    for (std::size_t i = 0; i < size; ++i) {
        const char c = text[i];
        if (in_string) {
            if (c == '\\')
                ++i; // the escaped character never ends the string
            else if (c == '"')
                in_string = false;
            continue;
        }
        if (c == '\0') {
            break; // the parser takes a NUL for the end of the text and reads no further
        } else if (c == '"') {
            in_string = true;
        } else if (c == '[' || c == '{') {
            ++shape.containers;
            if (++depth > kJsonMaxDepth) {
                shape.too_deep = true;
                break;
            }
        } else if ((c == ']' || c == '}') && depth > 0) {
            --depth;
        } else if (c == ',') {
            ++shape.separators;
        }
    }
    return shape;
}

} // namespace

bool json_nested_too_deep(const char* text, std::size_t size) {
    return json_shape(text, size).too_deep;
}

bool json_nested_too_deep(const std::string& text) {
    return json_nested_too_deep(text.data(), text.size());
}

bool json_parse_bounded(const std::string& text, json& out, std::string& error) {
    error.clear();
    out = json(json::value_t::discarded);
    const JsonShape shape = json_shape(text.data(), text.size());
    if (shape.too_deep) {
        error = "error: JSON nested deeper than " + std::to_string(kJsonMaxDepth) + " levels";
        return false;
    }
    if (shape.containers > kJsonMaxContainers || shape.separators + shape.containers > kJsonMaxValues) {
        error = "error: JSON holds too many values";
        return false;
    }
    try {
        out = json::parse(text, nullptr, false);
    } catch (...) {
        out = json(json::value_t::discarded);
    }
    if (out.is_discarded()) {
        error = "error: not JSON";
        return false;
    }
    return true;
}

json json_parse_or_discarded(const std::string& text) {
    json out;
    std::string error;
    json_parse_bounded(text, out, error);
    return out;
}

std::string json_text(const json& obj, const std::string& key) {
    if (!obj.is_object()) return std::string();
    auto it = obj.find(key);
    if (it == obj.end() || !it->is_string()) return std::string();
    return it->get<std::string>();
}

bool json_optional_text(const json& obj, const char* key, std::string& out) {
    auto it = obj.find(key);
    if (it == obj.end()) return true;
    if (!it->is_string()) return false;
    out = it->get<std::string>();
    return true;
}

bool json_whole_number(const json& value, std::int64_t low, std::int64_t high, std::int64_t& out) {
    std::int64_t v = 0;
    if (value.is_number_unsigned()) {
        const auto u = value.get<std::uint64_t>();
        if (u > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) return false;
        v = static_cast<std::int64_t>(u);
    } else if (value.is_number_integer()) {
        v = value.get<std::int64_t>();
    } else {
        return false;
    }
    if (v < low || v > high) return false;
    out = v;
    return true;
}

bool json_i64_within(const json& obj, const char* key, std::int64_t low, std::int64_t high, std::int64_t& out) {
    if (!obj.is_object()) return false;
    const auto it = obj.find(key);
    return it != obj.end() && json_whole_number(*it, low, high, out);
}

bool json_i64(const json& obj, const char* key, std::int64_t& out) {
    return json_i64_within(obj, key, std::numeric_limits<std::int64_t>::min(), std::numeric_limits<std::int64_t>::max(),
                           out);
}

bool json_as_u32(const json& value, std::uint32_t& out) {
    std::int64_t v = 0;
    if (!json_whole_number(value, 0, std::numeric_limits<std::uint32_t>::max(), v)) return false;
    out = static_cast<std::uint32_t>(v);
    return true;
}
