#include "art/art_pass.h"

#include "wallet/codecs.h"

#include <cctype>
#include <cstdint>
#include <limits>
#include <string>

std::string hex_digits_lower(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        if (is_hex_digit(c)) out.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(c))));
    }
    return out;
}

bool parse_outpoint(const std::string& text, std::string& txid, std::uint32_t& vout) {
    txid.clear();
    vout = 0;
    const std::size_t sep = text.find('_');
    if (sep != 64) return false;
    for (std::size_t i = 0; i < 64; ++i) {
        if (!is_hex_digit(text[i])) return false;
    }
    // The index reads like a C decimal: an optional sign, then digits up to the first other
    // character. A value past the signed 32-bit range is refused rather than wrapped, so a huge
    // index can never alias a small one.
    std::size_t pos = sep + 1;
    bool negative = false;
    if (pos < text.size() && (text[pos] == '+' || text[pos] == '-')) {
        negative = text[pos] == '-';
        ++pos;
    }
    std::uint64_t value = 0;
    for (; pos < text.size() && text[pos] >= '0' && text[pos] <= '9'; ++pos) {
        value = value * 10 + static_cast<std::uint64_t>(text[pos] - '0');
        if (value > static_cast<std::uint64_t>(std::numeric_limits<std::int32_t>::max())) return false;
    }
    if (negative && value != 0) return false;
    txid = text.substr(0, 64);
    vout = static_cast<std::uint32_t>(value);
    return true;
}
