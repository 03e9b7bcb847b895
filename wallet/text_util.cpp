#include "wallet/text_util.h"

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <limits>

namespace {

bool is_continuation(unsigned char c) {
    return (c & 0xC0) == 0x80;
}

} // namespace

bool is_ascii_alnum(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

bool is_ascii_alnum_text(const std::string& text) {
    return !text.empty() && std::all_of(text.begin(), text.end(), is_ascii_alnum);
}

std::string utf8_cut(const std::string& text, std::size_t max_bytes) {
    if (text.size() <= max_bytes) return text;
    // The byte at n is the first one dropped; while it continues a character, that character
    // started before n and must go too. A character has at most three continuation bytes, so a
    // run of stray ones in malformed text does not eat the whole prefix.
    std::size_t n = max_bytes;
    for (int steps = 0; steps < 3 && n > 0 && is_continuation(static_cast<unsigned char>(text[n])); ++steps)
        --n;
    return text.substr(0, n);
}

bool utf8_valid(const std::string& text) {
    const std::size_t size = text.size();
    std::size_t i = 0;
    while (i < size) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c < 0x80) {
            ++i;
            continue;
        }
        std::size_t len = 0;
        std::uint32_t cp = 0;
        std::uint32_t min = 0;
        if ((c & 0xE0) == 0xC0) {
            len = 2;
            cp = c & 0x1F;
            min = 0x80;
        } else if ((c & 0xF0) == 0xE0) {
            len = 3;
            cp = c & 0x0F;
            min = 0x800;
        } else if ((c & 0xF8) == 0xF0) {
            len = 4;
            cp = c & 0x07;
            min = 0x10000;
        } else {
            return false;
        }
        if (size - i < len) return false;
        for (std::size_t k = 1; k < len; ++k) {
            const unsigned char cc = static_cast<unsigned char>(text[i + k]);
            if (!is_continuation(cc)) return false;
            cp = (cp << 6) | (cc & 0x3F);
        }
        if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
        i += len;
    }
    return true;
}

bool parse_leading_i64(const std::string& text, std::int64_t& out) {
    std::size_t i = 0;
    while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i])))
        ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    // Gathered as a negative number: the most negative value has no positive twin.
    std::int64_t value = 0;
    bool any = false;
    constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        const int digit = text[i] - '0';
        if (value < (kMin + digit) / 10) return false;
        value = value * 10 - digit;
        any = true;
    }
    if (!any) return false;
    if (!negative) {
        if (value == kMin) return false;
        value = -value;
    }
    out = value;
    return true;
}
