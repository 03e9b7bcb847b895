#include "wallet/json_util.h"

#include <nlohmann/json.hpp>

#include <limits>

using nlohmann::json;

json json_parse_or_discarded(const std::string& text) {
    try {
        return json::parse(text, nullptr, false);
    } catch (...) {
        return json(json::value_t::discarded);
    }
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

bool json_as_u32(const json& value, std::uint32_t& out) {
    constexpr std::uint64_t kMax = std::numeric_limits<std::uint32_t>::max();
    if (value.is_number_unsigned()) {
        const auto v = value.get<std::uint64_t>();
        if (v > kMax) return false;
        out = static_cast<std::uint32_t>(v);
        return true;
    }
    if (value.is_number_integer()) {
        const auto v = value.get<std::int64_t>();
        if (v < 0 || static_cast<std::uint64_t>(v) > kMax) return false;
        out = static_cast<std::uint32_t>(v);
        return true;
    }
    return false;
}
